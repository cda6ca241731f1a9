#include "platform/message_box.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#endif

namespace platform {
namespace {

#ifdef _WIN32
class Win32MessageBoxes final : public IMessageBoxes {
public:
    BoxAnswer Show(const std::string& text, const std::string& title, BoxButtons buttons, BoxIcon icon) override
    {
        return ShowWin32Box(nullptr, text, title, buttons, icon);
    }
};
#else
// Without a window system the boxes go to standard error and take their
// default answer; the terminal front end asks its own.
class ConsoleMessageBoxes final : public IMessageBoxes {
public:
    BoxAnswer Show(const std::string& text, const std::string& title, BoxButtons buttons, BoxIcon) override
    {
        std::fprintf(stderr, "[%s] %s\n", title.c_str(), text.c_str());
        return buttons == BoxButtons::YesNo ? BoxAnswer::Yes : BoxAnswer::Ok;
    }
};
#endif

}  // namespace

#ifdef _WIN32
std::wstring WideText(const std::string& text)
{
    const int length = MultiByteToWideChar(936, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(936, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

BoxAnswer ShowWin32Box(void* owner, const std::string& text, const std::string& title, BoxButtons buttons,
                       BoxIcon icon)
{
    UINT style = buttons == BoxButtons::OkCancel ? MB_OKCANCEL : buttons == BoxButtons::YesNo ? MB_YESNO : MB_OK;
    switch (icon) {
    case BoxIcon::Stop: style |= MB_ICONSTOP; break;
    case BoxIcon::Warning: style |= MB_ICONWARNING; break;
    case BoxIcon::Information: style |= MB_ICONINFORMATION; break;
    case BoxIcon::Question: style |= MB_ICONQUESTION; break;
    case BoxIcon::None: break;
    }
    switch (MessageBoxW(static_cast<HWND>(owner), WideText(text).c_str(), WideText(title).c_str(), style)) {
    case IDCANCEL: return BoxAnswer::Cancel;
    case IDYES: return BoxAnswer::Yes;
    case IDNO: return BoxAnswer::No;
    default: return BoxAnswer::Ok;
    }
}
#endif

std::unique_ptr<IMessageBoxes> SystemMessageBoxes()
{
#ifdef _WIN32
    return std::make_unique<Win32MessageBoxes>();
#else
    return std::make_unique<ConsoleMessageBoxes>();
#endif
}

BoxAnswer RecordingMessageBoxes::Show(const std::string& text, const std::string& title, BoxButtons buttons, BoxIcon icon)
{
    std::lock_guard lock(m_mutex);
    m_shown.push_back({text, title, buttons, icon});
    if (m_answers.empty()) return buttons == BoxButtons::YesNo ? BoxAnswer::Yes : BoxAnswer::Ok;
    const BoxAnswer answer = m_answers.front();
    m_answers.pop_front();
    return answer;
}

void RecordingMessageBoxes::Answer(BoxAnswer answer)
{
    std::lock_guard lock(m_mutex);
    m_answers.push_back(answer);
}

std::vector<RecordingMessageBoxes::Shown> RecordingMessageBoxes::Boxes() const
{
    std::lock_guard lock(m_mutex);
    return m_shown;
}

std::vector<std::string> RecordingMessageBoxes::Texts() const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string> texts;
    for (const auto& box : m_shown) texts.push_back(box.text);
    return texts;
}

}  // namespace platform
