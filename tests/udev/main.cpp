// The mock USB bus needs umockdev's preload library from the start: the
// program starts itself again with it when it was started without.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

// Adds an option to a sanitizer's colon-separated list of them.
void AddOption(const char* variable, const std::string& option)
{
    const char* options = std::getenv(variable);
    const std::string value = options && *options ? std::string(options) + ":" + option : option;
    ::setenv(variable, value.c_str(), 1);
}

}  // namespace

int main(int argc, char** argv)
{
    const char* preload = std::getenv("LD_PRELOAD");
    if (!preload || std::string(preload).find("libumockdev-preload") == std::string::npos) {
        std::string value = "libumockdev-preload.so.0";
        if (preload && *preload) value += std::string(":") + preload;
        ::setenv("LD_PRELOAD", value.c_str(), 1);
        // The sanitizers want their runtime first; the preload only wraps
        // libc calls, which they see through either way. The mock bus's own
        // libraries are not built for ThreadSanitizer (see tsan.supp).
        AddOption("ASAN_OPTIONS", "verify_asan_link_order=0");
        AddOption("TSAN_OPTIONS", "suppressions=" UDEV_TSAN_SUPPRESSIONS);
        ::execv("/proc/self/exe", argv);
        return 127;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
