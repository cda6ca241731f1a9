// Crashes on purpose, as a test program would: after a thread has run, with
// a write through a null pointer. The Wine set-up must let it fail its test
// (Wine's debugger ends such a 32-bit program with exit code 0).
#include <cstdio>
#include <thread>

int main() {
  std::thread([] {}).join();
  std::puts("about to crash");
  std::fflush(stdout);
  // Hidden from the optimiser, which would drop the write or trap instead.
  volatile int* volatile target = nullptr;
  *target = 1;
}
