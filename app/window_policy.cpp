#include "app/window_policy.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace app {

std::optional<double> ParseTimeScale(const std::string& value, std::string& note)
{
    char* end = nullptr;
    const double scale = std::strtod(value.c_str(), &end);
    if (!value.empty() && *end == '\0' && std::isfinite(scale) && scale >= kMinTimeScale && scale <= kMaxTimeScale) {
        return scale;
    }
    char text[160];
    std::snprintf(text, sizeof text, "%s=\"%.40s\" is not a number from %g to %g: every wait runs as written.",
                  kTimeScaleVariable, value.c_str(), kMinTimeScale, kMaxTimeScale);
    note = text;
    return std::nullopt;
}

std::string TimeScaleNote(double scale)
{
    char text[96];
    std::snprintf(text, sizeof text, "Time scale %g: every wait runs %g times faster than written.", scale, scale);
    return text;
}

TaskbarProgress TaskbarFor(bool running, int percent, const std::optional<RunEnd>& lastRun)
{
    if (running) return {TaskbarProgress::State::Normal, percent};
    if (lastRun && lastRun->code != FinishCode::Success) return {TaskbarProgress::State::Error, 100};
    return {};
}

std::string NewestEntry(const std::string& statusLine)
{
    const std::size_t last = statusLine.find_last_not_of('\n');
    if (last == std::string::npos) return {};
    const std::size_t newline = statusLine.rfind('\n', last);
    const std::size_t first = newline == std::string::npos ? 0 : newline + 1;
    return statusLine.substr(first, last + 1 - first);
}

std::wstring BesideProgram(const std::wstring& programPath, const std::wstring& name)
{
    const std::size_t slash = programPath.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return {};
    return programPath.substr(0, slash + 1) + name;
}

}  // namespace app
