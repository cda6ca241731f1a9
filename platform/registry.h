#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The access mask the device keys are opened with (KEY_ALL_ACCESS).
inline constexpr std::uint32_t kAllAccess = 0xF003F;
// Room for a text value with its terminator; longer texts cannot be read.
inline constexpr std::size_t kTextBufferSize = 1024;

// An opened key. Destroying it closes it.
class IRegistryKey {
public:
    virtual ~IRegistryKey() = default;
    // A 32-bit value; nothing when it is missing or of another type.
    virtual std::optional<std::uint32_t> ReadDword(const std::string& name) = 0;
    // A text value that fits kTextBufferSize with its terminator; nothing
    // when it is missing, of another type or too long.
    virtual std::optional<std::string> ReadText(const std::string& name) = 0;
};

// Read access to the keys under HKEY_LOCAL_MACHINE. Key paths and value
// names compare without regard to letter case.
class IRegistry {
public:
    virtual ~IRegistry() = default;
    // Null when the key does not exist or cannot be opened with `access`.
    virtual std::unique_ptr<IRegistryKey> OpenMachineKey(const std::string& path, std::uint32_t access) = 0;
};

// A registry tree held in memory; safe to change while other threads read
// it. An opened key reads the tree as it is at each query, and fails once
// the key is removed.
class MemoryRegistry final : public IRegistry {
public:
    struct Open {
        std::string path;
        std::uint32_t access;
    };

    MemoryRegistry();

    // Merges REGEDIT4 text into the tree as an import does: sections
    // [HKEY_LOCAL_MACHINE\...] create keys, [-HKEY_LOCAL_MACHINE\...] remove
    // a key with its subkeys, "name"="text" (with \\ and \" escapes) and
    // "name"=dword:xxxxxxxx set values. Comments, blank lines and CR LF line
    // ends are allowed; other roots and lines of other forms are skipped.
    // False, and nothing changed, when the text does not start with REGEDIT4.
    [[nodiscard]] bool Import(std::string_view text);
    void SetDword(const std::string& key, const std::string& name, std::uint32_t value);
    void SetText(const std::string& key, const std::string& name, const std::string& text);
    void RemoveKey(const std::string& key);

    std::unique_ptr<IRegistryKey> OpenMachineKey(const std::string& path, std::uint32_t access) override;

    // Every successful open so far, and how many keys are still open.
    std::vector<Open> Opens() const;
    int OpenKeys() const;

private:
    struct State;
    class Key;

    std::shared_ptr<State> m_state;
};

#ifdef _WIN32
// HKEY_LOCAL_MACHINE of the system registry.
class Win32Registry final : public IRegistry {
public:
    std::unique_ptr<IRegistryKey> OpenMachineKey(const std::string& path, std::uint32_t access) override;
};
#else
// A registry whose source changes on its own (a device coming and going):
// it is loaded afresh at every open and every query, so that a change
// shows at once. An opened key fails once its key is gone.
class SnapshotRegistry : public IRegistry {
public:
    // The tree as it is now.
    virtual MemoryRegistry Load() = 0;
    std::unique_ptr<IRegistryKey> OpenMachineKey(const std::string& path, std::uint32_t access) override;
};

// A REGEDIT4 file standing in for HKEY_LOCAL_MACHINE (the simulated modem
// writes one); a missing file is an empty registry.
class RegFileRegistry final : public SnapshotRegistry {
public:
    // A file larger than this is no registry of ports: it is refused unread.
    static constexpr std::size_t kMaxFileSize = 1024 * 1024;

    explicit RegFileRegistry(std::string path) : m_path(std::move(path)) {}

    // Told once, with a sentence for the run log, when the file is refused
    // (too large, not a regular file, unreadable); told again only after an
    // acceptable file came between.
    void OnRefused(std::function<void(const std::string&)> notify);

    // The file as it is now: empty when missing or refused.
    MemoryRegistry Load() override;

private:
    std::string m_path;
    std::mutex m_mutex;
    std::function<void(const std::string&)> m_notify;
    bool m_refusalTold = false;
};

// $UPGRADER_REGISTRY_FILE, else <state directory>/registry.reg.
std::string RegistryFilePath();
#endif

}  // namespace platform
