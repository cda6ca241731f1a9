#include "platform/registry.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <mutex>
#include <variant>

namespace platform {
namespace {

constexpr std::string_view kMachineRoot = "HKEY_LOCAL_MACHINE";

std::string Lower(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower;
}

bool SameText(std::string_view a, std::string_view b) { return a.size() == b.size() && Lower(a) == Lower(b); }

std::string_view Trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

void SkipBlanks(std::string_view& text) { text.remove_prefix(std::min(text.find_first_not_of(" \t"), text.size())); }

// A quoted string at the start of `text`, which is left behind it. A
// backslash escapes a backslash or a quote and otherwise stands for itself.
std::optional<std::string> TakeQuoted(std::string_view& text)
{
    if (text.empty() || text.front() != '"') return std::nullopt;
    std::string out;
    for (std::size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            text.remove_prefix(i + 1);
            return out;
        }
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) ++i;
        out += text[i];
    }
    return std::nullopt;
}

std::optional<std::uint32_t> ParseDword(std::string_view digits)
{
    std::uint32_t value = 0;
    if (digits.empty() || digits.size() > 8) return std::nullopt;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    if (error != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

}  // namespace

struct MemoryRegistry::State {
    using Value = std::variant<std::uint32_t, std::string>;
    using Values = std::map<std::string, Value>;

    // A key exists when it was created or one below it was.
    bool HasKey(const std::string& path) const
    {
        if (keys.count(path)) return true;
        const auto below = keys.lower_bound(path + '\\');
        return below != keys.end() && below->first.compare(0, path.size() + 1, path + '\\') == 0;
    }
    void RemoveTree(const std::string& path)
    {
        keys.erase(path);
        const std::string prefix = path + '\\';
        auto it = keys.lower_bound(prefix);
        while (it != keys.end() && it->first.compare(0, prefix.size(), prefix) == 0) it = keys.erase(it);
    }
    const Value* Find(const std::string& path, const std::string& name) const
    {
        const auto key = keys.find(path);
        if (key == keys.end()) return nullptr;
        const auto value = key->second.find(Lower(name));
        return value == key->second.end() ? nullptr : &value->second;
    }

    mutable std::mutex mutex;
    std::map<std::string, Values> keys;  // lower-case paths and value names
    std::vector<Open> opens;
    int openKeys = 0;
};

class MemoryRegistry::Key final : public IRegistryKey {
public:
    Key(std::shared_ptr<State> state, std::string path) : m_state(std::move(state)), m_path(std::move(path)) {}
    ~Key() override
    {
        std::lock_guard lock(m_state->mutex);
        --m_state->openKeys;
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    std::optional<std::uint32_t> ReadDword(const std::string& name) override
    {
        std::lock_guard lock(m_state->mutex);
        const auto* value = m_state->Find(m_path, name);
        const auto* number = value ? std::get_if<std::uint32_t>(value) : nullptr;
        if (!number) return std::nullopt;
        return *number;
    }
    std::optional<std::string> ReadText(const std::string& name) override
    {
        std::lock_guard lock(m_state->mutex);
        const auto* value = m_state->Find(m_path, name);
        const auto* text = value ? std::get_if<std::string>(value) : nullptr;
        if (!text || text->size() >= kTextBufferSize) return std::nullopt;
        return *text;
    }

private:
    std::shared_ptr<State> m_state;
    std::string m_path;
};

MemoryRegistry::MemoryRegistry() : m_state(std::make_shared<State>()) {}

bool MemoryRegistry::Import(std::string_view text)
{
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        if (auto line = Trim(text.substr(start, end - start)); !line.empty() && line.front() != ';') lines.push_back(line);
        start = end + 1;
    }
    if (lines.empty() || lines.front() != "REGEDIT4") return false;

    std::lock_guard lock(m_state->mutex);
    State::Values* current = nullptr;
    for (std::string_view line : lines) {
        if (line.front() == '[') {
            current = nullptr;
            if (line.back() != ']') continue;
            std::string_view path = line.substr(1, line.size() - 2);
            const bool remove = !path.empty() && path.front() == '-';
            if (remove) path.remove_prefix(1);
            const auto slash = path.find('\\');
            if (slash == std::string_view::npos || !SameText(path.substr(0, slash), kMachineRoot)) continue;
            const std::string key = Lower(path.substr(slash + 1));
            if (remove) m_state->RemoveTree(key);
            else current = &m_state->keys[key];
            continue;
        }
        if (!current) continue;
        std::string_view rest = line;
        const auto name = TakeQuoted(rest);
        SkipBlanks(rest);
        if (!name || rest.empty() || rest.front() != '=') continue;
        rest.remove_prefix(1);
        SkipBlanks(rest);
        if (const auto value = TakeQuoted(rest)) {
            if (rest.empty()) (*current)[Lower(*name)] = *value;
        } else if (SameText(rest.substr(0, 6), "dword:")) {
            if (const auto number = ParseDword(rest.substr(6))) (*current)[Lower(*name)] = *number;
        }
    }
    return true;
}

void MemoryRegistry::SetDword(const std::string& key, const std::string& name, std::uint32_t value)
{
    std::lock_guard lock(m_state->mutex);
    m_state->keys[Lower(key)][Lower(name)] = value;
}

void MemoryRegistry::SetText(const std::string& key, const std::string& name, const std::string& text)
{
    std::lock_guard lock(m_state->mutex);
    m_state->keys[Lower(key)][Lower(name)] = text;
}

void MemoryRegistry::RemoveKey(const std::string& key)
{
    std::lock_guard lock(m_state->mutex);
    m_state->RemoveTree(Lower(key));
}

std::unique_ptr<IRegistryKey> MemoryRegistry::OpenMachineKey(const std::string& path, std::uint32_t access)
{
    std::lock_guard lock(m_state->mutex);
    std::string key = Lower(path);
    if (!m_state->HasKey(key)) return nullptr;
    m_state->opens.push_back({path, access});
    ++m_state->openKeys;
    return std::make_unique<Key>(m_state, std::move(key));
}

std::vector<MemoryRegistry::Open> MemoryRegistry::Opens() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->opens;
}

int MemoryRegistry::OpenKeys() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->openKeys;
}

}  // namespace platform
