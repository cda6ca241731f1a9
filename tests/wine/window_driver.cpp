// window_driver: drives the program's window from a second process in the
// same Wine prefix, as a person would, and prints what it shows. Commands run
// in the order given; the first that fails ends the driver with status 1.
//
//   wait-window TITLE SECONDS    wait for the program's window (later
//                                commands act on it)
//   controls                     one line per visible control of the form:
//                                id, class, x, y, width, height in dialog
//                                units, the same in pixels, enabled, text
//                                (tab-separated)
//   press ID                     click an enabled button
//   wait-text ID TEXT SECONDS    TEXT ending in '*' matches a prefix, one
//                                starting with '!' any other text
//   wait-enabled ID 0|1 SECONDS
//   box [--answer yes|no|ok] [--expect TEXT] SECONDS
//                                wait for a message box, print its title and
//                                text, press the answer
//   gone SECONDS                 wait until the program's window is gone
//   close                        post WM_CLOSE to the program's window
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

HWND g_main = nullptr;
std::wstring g_title;
// Dialog base units of the program's form.
int g_baseX = 0, g_baseY = 0;

std::wstring Wide(const char* text)
{
    std::wstring out(MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), static_cast<int>(out.size()));
    out.pop_back();
    return out;
}

std::string Utf8(const std::wstring& text)
{
    std::string out(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), static_cast<int>(out.size()), nullptr, nullptr);
    out.pop_back();
    return out;
}

std::wstring TextOf(HWND window)
{
    wchar_t buffer[1024] = {};
    GetWindowTextW(window, buffer, 1024);
    return buffer;
}

std::wstring ClassOf(HWND window)
{
    wchar_t buffer[256] = {};
    GetClassNameW(window, buffer, 256);
    return buffer;
}

bool Matches(const std::wstring& text, const std::wstring& pattern)
{
    if (!pattern.empty() && pattern[0] == L'!') return !Matches(text, pattern.substr(1));
    if (!pattern.empty() && pattern.back() == L'*') return text.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
    return text == pattern;
}

std::string Seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

bool Fail(const std::string& message)
{
    std::fprintf(stderr, "window_driver: %s\n", message.c_str());
    return false;
}

// Calls found() every 50 ms until it is true or the time is up.
template <class Found>
bool WaitFor(double seconds, Found found)
{
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
    do {
        if (found()) return true;
        Sleep(50);
    } while (GetTickCount64() < end);
    return false;
}

// Callbacks are stdcall in a 32-bit program, which lambdas cannot be.
BOOL CALLBACK Collect(HWND window, LPARAM list)
{
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

INT_PTR CALLBACK IgnoreMessages(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

std::vector<HWND> TopLevel()
{
    std::vector<HWND> windows;
    EnumWindows(Collect, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

std::vector<HWND> Descendants(HWND parent)
{
    std::vector<HWND> windows;
    EnumChildWindows(parent, Collect, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

// The form: the dialog inside the frame (the frame itself when it has none).
HWND Form()
{
    for (HWND w : Descendants(g_main)) {
        if (ClassOf(w) == L"#32770" && IsWindowVisible(w)) return w;
    }
    return g_main;
}

HWND Control(int id)
{
    for (HWND w : Descendants(g_main)) {
        if (GetDlgCtrlID(w) == id && ClassOf(w) != L"#32770") return w;
    }
    return nullptr;
}

// A dialog's base units can only be asked for inside its own process, so the
// driver builds an unseen copy of the form from the program's template 101
// (same font, same prefix) and maps a 4x8 rectangle on it.
bool LearnBaseUnits(const std::wstring& exe)
{
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module) return Fail("cannot read the resources of " + Utf8(exe));
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(101), MAKEINTRESOURCEW(5));
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    if (!loaded) return Fail("the program carries no dialog template 101");
    auto* copy = static_cast<DLGTEMPLATE*>(std::malloc(SizeofResource(module, found)));
    std::memcpy(copy, LockResource(loaded), SizeofResource(module, found));
    auto* style = reinterpret_cast<DWORD*>(copy);
    // Neither a child nor visible, and as a DLGTEMPLATEEX the style is the
    // third field.
    DWORD& dialogStyle = reinterpret_cast<WORD*>(copy)[1] == 0xFFFF ? style[3] : style[0];
    dialogStyle = (dialogStyle & ~(WS_CHILD | WS_VISIBLE)) | DS_NOFAILCREATE;
    HWND dialog = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), copy, nullptr, IgnoreMessages, 0);
    RECT units{0, 0, 4, 8};
    const bool mapped = dialog && MapDialogRect(dialog, &units);
    if (dialog) DestroyWindow(dialog);
    std::free(copy);
    FreeLibrary(module);
    if (!mapped) return Fail("cannot build the form from its template");
    g_baseX = units.right;
    g_baseY = units.bottom;
    return true;
}

bool WaitWindow(const std::wstring& title, double seconds)
{
    g_title = title;
    const bool found = WaitFor(seconds, [&] {
        for (HWND w : TopLevel()) {
            if (IsWindowVisible(w) && ClassOf(w) != L"#32770" && TextOf(w) == title) {
                g_main = w;
                return true;
            }
        }
        return false;
    });
    if (!found) return Fail("no window \"" + Utf8(title) + "\" after " + Seconds(seconds));
    DWORD pid = 0;
    GetWindowThreadProcessId(g_main, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    wchar_t exe[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    const bool named = process && QueryFullProcessImageNameW(process, 0, exe, &size);
    if (process) CloseHandle(process);
    return named ? LearnBaseUnits(exe) : Fail("cannot name the program of the window");
}

// Dialog units back from pixels: exact, as a base unit spans at least two.
int UnitsX(LONG pixels) { return MulDiv(pixels, 4, g_baseX); }
int UnitsY(LONG pixels) { return MulDiv(pixels, 8, g_baseY); }

// A control's text on one line; an image named by ordinal (0xFFFF, number)
// as "#number".
std::string Shown(HWND window)
{
    const std::wstring text = TextOf(window);
    if (text.size() >= 2 && text[0] == 0xFFFF) return "#" + std::to_string(text[1]);
    std::string out;
    for (char c : Utf8(text)) {
        if (c == '\r') continue;
        out += c == '\n' ? std::string("\\n") : c == '\t' ? std::string("\\t") : std::string(1, c);
    }
    return out;
}

bool Controls()
{
    HWND form = Form();
    for (HWND w : Descendants(form)) {
        if (!IsWindowVisible(w) || GetParent(w) != form) continue;
        RECT r;
        GetWindowRect(w, &r);
        MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&r), 2);
        const int id = GetDlgCtrlID(w);
        std::printf("%d\t%s\t%d\t%d\t%d\t%d\t%ld,%ld,%ld,%ld\t%s\t%s\n", id == 0xFFFF ? -1 : id,
                    Utf8(ClassOf(w)).c_str(), UnitsX(r.left), UnitsY(r.top), UnitsX(r.right - r.left),
                    UnitsY(r.bottom - r.top), r.left, r.top, r.right - r.left, r.bottom - r.top,
                    IsWindowEnabled(w) ? "enabled" : "disabled", Shown(w).c_str());
    }
    return true;
}

bool WaitControl(int id, double seconds, const char* what, bool (*ok)(HWND, const std::wstring&),
                 const std::wstring& wanted)
{
    if (WaitFor(seconds, [&] {
            HWND w = Control(id);
            return w && ok(w, wanted);
        })) {
        return true;
    }
    HWND w = Control(id);
    return Fail(std::string("control ") + std::to_string(id) + " not " + what + " \"" + Utf8(wanted) + "\" after " +
                Seconds(seconds) +
                (w ? ": it reads \"" + Utf8(TextOf(w)) + "\", " + (IsWindowEnabled(w) ? "enabled" : "disabled")
                   : ": no such control") +
                (IsHungAppWindow(g_main) ? " (the window has not taken a message for 5 s)" : ""));
}

bool Press(int id)
{
    HWND w = Control(id);
    if (!w) return Fail("no control " + std::to_string(id));
    if (!IsWindowEnabled(w) || !IsWindowVisible(w)) return Fail("control " + std::to_string(id) + " cannot be pressed");
    PostMessageW(w, BM_CLICK, 0, 0);
    return true;
}

bool Box(const std::wstring& answer, const std::wstring& expect, double seconds)
{
    HWND box = nullptr;
    WaitFor(seconds, [&] {
        for (HWND w : TopLevel()) {
            if (IsWindowVisible(w) && ClassOf(w) == L"#32770" && GetDlgItem(w, 0xFFFF)) {
                box = w;
                return true;
            }
        }
        return false;
    });
    if (!box) return Fail("no message box after " + Seconds(seconds));
    const std::wstring text = TextOf(GetDlgItem(box, 0xFFFF));
    std::printf("%s\t%s\n", Utf8(TextOf(box)).c_str(), Utf8(text).c_str());
    std::fflush(stdout);
    if (!expect.empty() && !Matches(text, expect)) return Fail("the box says \"" + Utf8(text) + "\"");
    if (answer.empty()) return true;
    const int id = answer == L"yes" ? IDYES : answer == L"no" ? IDNO : IDOK;
    HWND button = GetDlgItem(box, id);
    if (!button) return Fail("the box has no button " + Utf8(answer));
    PostMessageW(button, BM_CLICK, 0, 0);
    // Done once the box has gone.
    return WaitFor(10, [&] { return !IsWindow(box) || !IsWindowVisible(box); }) || Fail("the box stayed open");
}

bool Run(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string command = argv[i];
        auto arg = [&](int n) { return i + n < argc ? argv[i + n] : nullptr; };
        auto need = [&](int n) {
            for (int k = 1; k <= n; ++k) {
                if (!arg(k)) return Fail(command + " needs " + std::to_string(n) + " arguments");
            }
            if (command != "wait-window" && !g_main) return Fail(command + " before wait-window");
            return true;
        };
        bool ok = false;
        if (command == "wait-window") {
            ok = need(2) && WaitWindow(Wide(arg(1)), std::atof(arg(2)));
            i += 2;
        } else if (command == "controls") {
            ok = need(0) && Controls();
        } else if (command == "press") {
            ok = need(1) && Press(std::atoi(arg(1)));
            i += 1;
        } else if (command == "wait-text") {
            ok = need(3) && WaitControl(std::atoi(arg(1)), std::atof(arg(3)), "reading",
                                        [](HWND w, const std::wstring& t) { return Matches(TextOf(w), t); },
                                        Wide(arg(2)));
            i += 3;
        } else if (command == "wait-enabled") {
            ok = need(2) && WaitControl(std::atoi(arg(1)), std::atof(arg(3)), "enabled =",
                                        [](HWND w, const std::wstring& t) { return (IsWindowEnabled(w) ? L"1" : L"0") == t; },
                                        Wide(arg(2)));
            i += 3;
        } else if (command == "box") {
            std::wstring answer, expect;
            for (; arg(1) && arg(2) && (std::string(arg(1)) == "--answer" || std::string(arg(1)) == "--expect"); i += 2) {
                (std::string(arg(1)) == "--answer" ? answer : expect) = Wide(arg(2));
            }
            ok = arg(1) ? Box(answer, expect, std::atof(arg(1))) : Fail("box needs SECONDS");
            i += 1;
        } else if (command == "gone") {
            ok = need(1) && (WaitFor(std::atof(arg(1)), [] { return !IsWindow(g_main); }) ||
                             Fail("the window is still open after " + std::string(arg(1)) + " s"));
            i += 1;
        } else if (command == "close") {
            ok = need(0) && PostMessageW(g_main, WM_CLOSE, 0, 0);
        } else {
            ok = Fail("unknown command " + command);
        }
        std::fflush(stdout);
        if (!ok) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    // Lines end in "\n" alone, for the scripts that read them.
    _setmode(_fileno(stdout), _O_BINARY);
    return Run(argc, argv) ? 0 : 1;
}
