#include "app/replug_library_win32.h"

namespace app {

bool Win32ReplugLibrary::Load(const std::string& path)
{
    m_module = LoadLibraryA(path.c_str());
    return m_module != nullptr;
}

bool Win32ReplugLibrary::FindEntry()
{
    const FARPROC found = m_module ? GetProcAddress(m_module, "Hopcycle") : nullptr;
    if (!found) return false;
    // Through the generic function pointer type, which converts to any other.
    m_entry = reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(found));
    return true;
}

int Win32ReplugLibrary::Call(const char* target) { return m_entry ? m_entry(target) : 0; }

void Win32ReplugLibrary::Unload()
{
    m_entry = nullptr;
    if (m_module) FreeLibrary(m_module);
    m_module = nullptr;
}

}  // namespace app
