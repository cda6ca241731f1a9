#include "platform/registry.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/files.h"

namespace platform {
namespace {

// The file as it is now; a missing or unreadable file is an empty registry.
MemoryRegistry Load(const std::string& file)
{
    MemoryRegistry tree;
    std::ifstream in(file, std::ios::binary);
    if (in) {
        std::ostringstream text;
        text << in.rdbuf();
        tree.Import(text.str());
    }
    return tree;
}

class FileKey final : public IRegistryKey {
public:
    FileKey(std::string file, std::string path, std::uint32_t access)
        : m_file(std::move(file)), m_path(std::move(path)), m_access(access)
    {
    }

    std::optional<std::uint32_t> ReadDword(const std::string& name) override
    {
        const auto key = Load(m_file).OpenMachineKey(m_path, m_access);
        return key ? key->ReadDword(name) : std::nullopt;
    }
    std::optional<std::string> ReadText(const std::string& name) override
    {
        const auto key = Load(m_file).OpenMachineKey(m_path, m_access);
        return key ? key->ReadText(name) : std::nullopt;
    }

private:
    std::string m_file;
    std::string m_path;
    std::uint32_t m_access;
};

}  // namespace

std::unique_ptr<IRegistryKey> RegFileRegistry::OpenMachineKey(const std::string& path, std::uint32_t access)
{
    if (!Load(m_path).OpenMachineKey(path, access)) return nullptr;
    return std::make_unique<FileKey>(m_path, path, access);
}

std::string RegistryFilePath()
{
    const char* file = std::getenv("UPGRADER_REGISTRY_FILE");
    return file && *file ? file : StateDirectory() + "/registry.reg";
}

}  // namespace platform
