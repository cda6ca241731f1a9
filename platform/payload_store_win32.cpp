#include "platform/payload_store_win32.h"

#include <windows.h>

namespace platform {

std::optional<std::span<const std::uint8_t>> Win32ResourcePayloadStore::Find(int id)
{
    // The resources of the executable stay mapped for the life of the
    // process, so the bytes need no release.
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC resource = FindResourceExW(module, L"SOURCEMBN", MAKEINTRESOURCEW(id),
                                     MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED));
    if (!resource) return std::nullopt;
    HGLOBAL loaded = LoadResource(module, resource);
    if (!loaded) return std::nullopt;
    const void* bytes = LockResource(loaded);
    const DWORD size = SizeofResource(module, resource);
    if (!bytes && size != 0) return std::nullopt;
    return std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(bytes), size);
}

}  // namespace platform
