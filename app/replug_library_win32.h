#pragma once

#include <windows.h>

#include "app/replug_thread.h"

namespace app {

// The re-plug library through LoadLibraryA, GetProcAddress and FreeLibrary;
// its export is `int __stdcall Hopcycle(const char*)`.
class Win32ReplugLibrary final : public IReplugLibrary {
public:
    ~Win32ReplugLibrary() override { Unload(); }

    bool Load(const std::string& path) override;
    bool FindEntry() override;
    int Call(const char* target) override;
    void Unload() override;

private:
    using Entry = int(__stdcall*)(const char*);

    HMODULE m_module = nullptr;
    Entry m_entry = nullptr;
};

}  // namespace app
