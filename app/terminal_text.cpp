#include "app/terminal_text.h"

#include <cstdio>

namespace app {
namespace {

struct Known {
    unsigned char lead;
    unsigned char trail;
    const char* utf8;
};

constexpr Known kKnown[] = {
    {0xA1, 0xAA, "\xE2\x80\x94"},  // U+2014 EM DASH
    {0xA3, 0xAC, "\xEF\xBC\x8C"},  // U+FF0C FULLWIDTH COMMA
};

bool IsLead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
bool IsTrail(unsigned char c) { return c >= 0x40 && c <= 0xFE && c != 0x7F; }

}  // namespace

std::string TerminalText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            continue;
        }
        if (IsLead(c) && i + 1 < text.size() && IsTrail(static_cast<unsigned char>(text[i + 1]))) {
            const auto trail = static_cast<unsigned char>(text[++i]);
            const char* shown = "?";
            for (const Known& known : kKnown) {
                if (known.lead == c && known.trail == trail) shown = known.utf8;
            }
            out += shown;
            continue;
        }
        out += '?';
    }
    return out;
}

namespace {

std::string Clock(std::chrono::milliseconds time)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(time).count();
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    return text;
}

std::string Seconds(std::chrono::milliseconds time)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(time.count()) / 1000.0);
    return text;
}

std::string Mebibytes(double bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", bytes / (1024.0 * 1024.0));
    return text;
}

}  // namespace

std::string ProgressDetails(const RunPace& pace)
{
    std::string text = "Elapsed " + Clock(pace.elapsed);
    if (!pace.image.empty() && pace.total > 0) {
        text += "   " + TerminalText(pace.image) + " " + Mebibytes(static_cast<double>(pace.done)) + " of " +
                Mebibytes(static_cast<double>(pace.total)) + " MiB";
        if (pace.bytesPerSecond > 0) text += " at " + Mebibytes(pace.bytesPerSecond) + " MiB/s";
    }
    if (pace.left) text += "   about " + Clock(*pace.left) + " left";
    return text;
}

std::string PlainPace(const RunPace& pace)
{
    std::string text = "time: " + Seconds(pace.elapsed) + " s elapsed";
    if (pace.left) text += ", about " + Seconds(*pace.left) + " s left";
    return text + "\n";
}

}  // namespace app
