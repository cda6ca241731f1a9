#include "platform/registry.h"

#include <windows.h>

#include <cstring>

namespace platform {
namespace {

class Win32Key final : public IRegistryKey {
public:
    explicit Win32Key(HKEY key) : m_key(key) {}
    ~Win32Key() override { RegCloseKey(m_key); }
    Win32Key(const Win32Key&) = delete;
    Win32Key& operator=(const Win32Key&) = delete;

    std::optional<std::uint32_t> ReadDword(const std::string& name) override
    {
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof value;
        if (RegQueryValueExA(m_key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
            type != REG_DWORD || size != sizeof value) {
            return std::nullopt;
        }
        return value;
    }

    std::optional<std::string> ReadText(const std::string& name) override
    {
        char buffer[kTextBufferSize];
        DWORD type = 0;
        DWORD size = sizeof buffer;
        if (RegQueryValueExA(m_key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
            type != REG_SZ) {
            return std::nullopt;
        }
        // A stored text need not carry its terminator; one that fills the
        // whole buffer without it does not fit.
        const auto* end = static_cast<const char*>(std::memchr(buffer, '\0', size));
        if (!end && size == sizeof buffer) return std::nullopt;
        return std::string(buffer, end ? static_cast<std::size_t>(end - buffer) : size);
    }

private:
    HKEY m_key;
};

}  // namespace

std::unique_ptr<IRegistryKey> Win32Registry::OpenMachineKey(const std::string& path, std::uint32_t access)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key) != ERROR_SUCCESS) return nullptr;
    return std::make_unique<Win32Key>(key);
}

}  // namespace platform
