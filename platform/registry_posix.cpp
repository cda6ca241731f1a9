#include "platform/registry.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

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
    std::ifstream in(m_path, std::ios::binary);
    if (!in) return tree;
    // Only the size is looked at before the refusal: a huge file must not
    // be read at every query of the port search.
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(m_path, ec);
    const bool tooLarge = !ec && size > kMaxFileSize;
    std::function<void(const std::string&)> notify;
    {
        std::lock_guard lock(m_mutex);
        if (tooLarge && !m_refusalTold) notify = m_notify;
        m_refusalTold = tooLarge;
    }
    if (tooLarge) {
        if (notify) notify("The registry file " + m_path + " is larger than 1 MiB and is not read: no ports are found in it.");
        return tree;
    }
    std::ostringstream text;
    text << in.rdbuf();
    // A file that is not REGEDIT4 names no ports: the empty tree says so.
    static_cast<void>(tree.Import(text.str()));
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
