#include "sim/faults.h"

#include <cstdlib>

namespace sim {
namespace {

bool ParseNumber(const std::string& text, std::uint32_t& value)
{
    if (text.empty()) return false;
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(text.c_str(), &end, 0);
    if (*end != '\0' || parsed > 0xFFFFFFFFul) return false;
    value = static_cast<std::uint32_t>(parsed);
    return true;
}

bool ParseHexBytes(const std::string& text, std::vector<std::uint8_t>& bytes)
{
    if (text.size() % 2) return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        std::uint32_t value = 0;
        if (!ParseNumber("0x" + text.substr(i, 2), value)) return false;
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return true;
}

}  // namespace

std::optional<ReplyRule> Faults::Take(const std::string& request)
{
    auto it = replies.find(request);
    if (it == replies.end()) return std::nullopt;
    for (ReplyRule& rule : it->second) {
        if (rule.remaining == 0) continue;
        if (rule.remaining > 0) --rule.remaining;
        return rule;
    }
    return std::nullopt;
}

bool Faults::Parse(const std::string& text, std::string& error)
{
    const auto colon = text.find(':');
    const std::string head = text.substr(0, colon);
    const std::string arg = colon == std::string::npos ? "" : text.substr(colon + 1);
    std::uint32_t number = 0;

    if (text == "neverready") return neverReady = true;
    if (text == "wrongsegmentcrc") return wrongSegmentCrc = true;
    if (text == "neverreturn") return neverReturn = true;
    if (text == "lost") return lost = true;
    if (text == "swapped") return swapped = true;
    if (head == "product" && !arg.empty()) {
        productText = arg;
        return true;
    }
    if (head == "blockreject" && ParseNumber(arg, number)) {
        blockRejects = static_cast<int>(number);
        return true;
    }
    if (head == "vanishafter" && ParseNumber(arg, number)) {
        vanishAfterBytes = number;
        return true;
    }
    if (head == "versionslength" && ParseNumber(arg, number) && number >= 100 && number <= 1024) {
        versionsRawLength = number;
        return true;
    }
    if (head == "downloadcheck" && ParseNumber(arg, number) && number < 256) {
        downloadCheckResult = static_cast<std::uint8_t>(number);
        return true;
    }
    if (head == "challenge") {
        std::vector<std::uint8_t> bytes;
        if (ParseHexBytes(arg, bytes) && bytes.size() == 8) {
            challenge = bytes;
            return true;
        }
    }
    if (head == "nvnoreply" && ParseNumber(arg, number) && number <= 0xFFFF) {
        nvNoReply.insert(static_cast<std::uint16_t>(number));
        return true;
    }
    if (head == "nvstatus") {
        const auto equals = arg.find('=');
        std::uint32_t item = 0;
        std::uint32_t status = 0;
        if (equals != std::string::npos && ParseNumber(arg.substr(0, equals), item) && item <= 0xFFFF &&
            ParseNumber(arg.substr(equals + 1), status) && status <= 0xFFFF) {
            nvStatus[static_cast<std::uint16_t>(item)] = static_cast<std::uint16_t>(status);
            return true;
        }
    }

    // REQUEST=ACTION[:VALUE][*COUNT]
    const auto equals = text.find('=');
    if (equals != std::string::npos && equals > 0) {
        const std::string request = text.substr(0, equals);
        if (!known->count(request)) {
            error = "unknown request \"" + request + "\" in fault \"" + text + "\"; known requests:";
            for (const std::string& name : *known) error += " " + name;
            return false;
        }
        std::string action = text.substr(equals + 1);
        ReplyRule rule;
        if (const auto star = action.find('*'); star != std::string::npos) {
            if (!ParseNumber(action.substr(star + 1), number) || number == 0) {
                error = "bad repeat count in fault \"" + text + "\"";
                return false;
            }
            rule.remaining = static_cast<int>(number);
            action.resize(star);
        }
        const auto actionColon = action.find(':');
        const std::string name = action.substr(0, actionColon);
        const std::string value = actionColon == std::string::npos ? "" : action.substr(actionColon + 1);
        const bool hasValue = ParseNumber(value, rule.value);
        bool known = true;
        if (name == "silent" && value.empty()) rule.fault = ReplyFault::Silent;
        else if (name == "late" && hasValue) rule.fault = ReplyFault::Late;
        else if (name == "badcrc" && value.empty()) rule.fault = ReplyFault::BadCrc;
        else if (name == "double" && value.empty()) rule.fault = ReplyFault::Double;
        else if (name == "nak" && hasValue) rule.fault = ReplyFault::Nak;
        else if (name == "diagerror" && hasValue) rule.fault = ReplyFault::DiagError;
        else if (name == "streamerror" && hasValue) rule.fault = ReplyFault::StreamError;
        else if (name == "code" && hasValue && rule.value < 256) rule.fault = ReplyFault::Code;
        else if (name == "lowercase" && value.empty()) rule.fault = ReplyFault::LowerCase;
        else known = false;
        if (known) {
            replies[request].push_back(rule);
            return true;
        }
    }
    error = "unknown fault \"" + text + "\"";
    return false;
}

}  // namespace sim
