#include "platform/process.h"

#include <cstdio>
#include <cstdlib>

namespace platform {

void SystemProcess::Exit(int code)
{
    std::fflush(nullptr);
    std::_Exit(code);
}

}  // namespace platform
