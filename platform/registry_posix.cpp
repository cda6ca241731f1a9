#include "platform/registry.h"

#include <cstdlib>

#include "platform/files.h"

namespace platform {
namespace {

class SnapshotKey final : public IRegistryKey {
public:
    SnapshotKey(SnapshotRegistry& registry, std::string path, std::uint32_t access)
        : m_registry(registry), m_path(std::move(path)), m_access(access)
    {
    }

    std::optional<std::uint32_t> ReadDword(const std::string& name) override
    {
        const auto key = m_registry.Load().OpenMachineKey(m_path, m_access);
        return key ? key->ReadDword(name) : std::nullopt;
    }
    std::optional<std::string> ReadText(const std::string& name) override
    {
        const auto key = m_registry.Load().OpenMachineKey(m_path, m_access);
        return key ? key->ReadText(name) : std::nullopt;
    }

private:
    SnapshotRegistry& m_registry;
    std::string m_path;
    std::uint32_t m_access;
};

}  // namespace

void RegFileRegistry::OnRefused(std::function<void(const std::string&)> notify)
{
    std::lock_guard lock(m_mutex);
    m_notify = std::move(notify);
}

MemoryRegistry RegFileRegistry::Load()
{
    MemoryRegistry tree;
    // Only a regular file of a bounded size is read: the port search reads
    // it at every query, and must never wait on it.
    std::string text;
    std::string why;
    const FileRead read = ReadRegularFile(m_path, kMaxFileSize, text, why);
    if (read == FileRead::Missing) return tree;
    const bool refused = read == FileRead::Refused;
    std::function<void(const std::string&)> notify;
    {
        std::lock_guard lock(m_mutex);
        if (refused && !m_refusalTold) notify = m_notify;
        m_refusalTold = refused;
    }
    if (refused) {
        if (notify) notify("The registry file " + m_path + " " + why + " and is not read: no ports are found in it.");
        return tree;
    }
    // A file that is not REGEDIT4 names no ports: the empty tree says so.
    static_cast<void>(tree.Import(text));
    return tree;
}

std::unique_ptr<IRegistryKey> SnapshotRegistry::OpenMachineKey(const std::string& path, std::uint32_t access)
{
    if (!Load().OpenMachineKey(path, access)) return nullptr;
    return std::make_unique<SnapshotKey>(*this, path, access);
}

std::string RegistryFilePath()
{
    const char* file = std::getenv("UPGRADER_REGISTRY_FILE");
    return file && *file ? file : StateDirectory() + "/registry.reg";
}

}  // namespace platform
