// The re-plug library's entry points.
#include "hopcycle/device_tree_win32.h"
#include "hopcycle/replug.h"

namespace {

hopcycle::Win32DeviceTree g_tree;
hopcycle::Replug g_replug(g_tree, hopcycle::kSdkLayout);

}  // namespace

extern "C" __declspec(dllexport) int __stdcall Hopcycle(const char* prefix)
{
    // Nothing may be thrown into the calling program.
    try {
        return g_replug.Hopcycle(prefix);
    } catch (...) {
        return 0;
    }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
