#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

enum class BoxButtons { Ok, OkCancel, YesNo };
enum class BoxIcon { None, Stop, Warning, Information, Question };
enum class BoxAnswer { Ok, Cancel, Yes, No };

// Modal message boxes. Texts are the program's 8-bit texts (code page 936
// where they are not plain ASCII); the backend shows them as such.
class IMessageBoxes {
public:
    virtual ~IMessageBoxes() = default;
    virtual BoxAnswer Show(const std::string& text, const std::string& title, BoxButtons buttons, BoxIcon icon) = 0;
};

// The system's boxes: on Windows modal MessageBoxW boxes without an owner;
// elsewhere the text on standard error and the default answer.
std::unique_ptr<IMessageBoxes> SystemMessageBoxes();

// Records every box and answers from a script (OK or Yes once the script
// is used up), for tests.
class RecordingMessageBoxes final : public IMessageBoxes {
public:
    struct Shown {
        std::string text;
        std::string title;
        BoxButtons buttons;
        BoxIcon icon;
    };

    BoxAnswer Show(const std::string& text, const std::string& title, BoxButtons buttons, BoxIcon icon) override;
    void Answer(BoxAnswer answer);
    std::vector<Shown> Boxes() const;
    std::vector<std::string> Texts() const;

private:
    mutable std::mutex m_mutex;
    std::vector<Shown> m_shown;
    std::deque<BoxAnswer> m_answers;
};

#ifdef _WIN32
// The program's 8-bit texts (code page 936) as UTF-16, for the wide API.
std::wstring WideText(const std::string& text);
// One MessageBoxW box; `owner` is the window it belongs to (an HWND), or
// null.
BoxAnswer ShowWin32Box(void* owner, const std::string& text, const std::string& title, BoxButtons buttons,
                       BoxIcon icon);
#endif

}  // namespace platform
