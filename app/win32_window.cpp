#include "app/win32_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include "app/win32_resource.h"
#include "platform/backends.h"
#include "platform/message_box.h"

namespace app {
namespace {

constexpr DWORD kFrameStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int kFrameTop = 200;
constexpr UINT kChangedMessage = WM_APP + 1;
// A change that found a message already posted is rendered at the latest
// by this timer.
constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kRefreshMs = 100;
constexpr std::uint32_t kUninstallPauseMs = 1500;
constexpr COLORREF kWarningColour = RGB(255, 40, 0);

template <typename Window>
Window* Self(HWND window, int slot)
{
    return reinterpret_cast<Window*>(GetWindowLongPtrW(window, slot));
}

}  // namespace

Win32Window::~Win32Window()
{
    if (m_taskbar) m_taskbar->Release();
    if (HWND frame = m_frame.exchange(nullptr)) DestroyWindow(frame);
}

bool Win32Window::Create()
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = FrameProc;
    windowClass.hInstance = m_instance;
    windowClass.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kFrameClass;
    if (!RegisterClassExW(&windowClass)) return false;

    // No menu, and no frame or box that would resize or maximise it.
    HWND frame = CreateWindowExW(WS_EX_CONTROLPARENT, kFrameClass, kWindowTitle, kFrameStyle, CW_USEDEFAULT, kFrameTop,
                                 CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, m_instance, this);
    if (!frame) return false;
    m_frame = frame;
    m_form = CreateDialogParamW(m_instance, MAKEINTRESOURCEW(IDD_FORM), frame, FormProc, reinterpret_cast<LPARAM>(this));
    if (!m_form) return false;
    SendDlgItemMessageW(m_form, IDC_PROGRESS, PBM_SETRANGE32, 0, 100);

    RECT form{};
    GetWindowRect(m_form, &form);
    RECT fitted{0, 0, form.right - form.left, form.bottom - form.top};
    AdjustWindowRectEx(&fitted, kFrameStyle, FALSE, WS_EX_CONTROLPARENT);
    RECT placed{};
    GetWindowRect(frame, &placed);
    SetWindowPos(frame, nullptr, placed.left, kFrameTop, fitted.right - fitted.left, fitted.bottom - fitted.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowPos(m_form, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(m_form, SW_SHOW);
    SetTimer(frame, kRefreshTimer, kRefreshMs, nullptr);
    return true;
}

void Win32Window::Show(int showCommand)
{
    HWND frame = m_frame;
    ShowWindow(frame, showCommand);
    UpdateWindow(frame);
    // Without the taskbar interface (older systems, some shells) the
    // button simply shows no progress.
    void* taskbar = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3, &taskbar))) {
        m_taskbar = static_cast<ITaskbarList3*>(taskbar);
        if (FAILED(m_taskbar->HrInit())) {
            m_taskbar->Release();
            m_taskbar = nullptr;
        }
    }
    Update();
}

std::optional<int> Win32Window::Run()
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // The form is the dialog: keyboard navigation among its controls.
        if (m_form && IsDialogMessageW(m_form, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return m_endedStatus;
}

void Win32Window::Changed()
{
    if (m_posted.exchange(true)) return;
    HWND frame = m_frame;
    if (!frame || !PostMessageW(frame, kChangedMessage, 0, 0)) m_posted = false;
}

platform::BoxAnswer Win32Window::Ask(const Prompt& prompt)
{
    // Owned by the frame while it is shown on this thread; a box asked
    // before it shows or after it has gone stands alone.
    HWND owner = m_frame;
    if (owner && (!IsWindowVisible(owner) || GetWindowThreadProcessId(owner, nullptr) != GetCurrentThreadId())) {
        owner = nullptr;
    }
    return platform::ShowWin32Box(owner, prompt.text, prompt.title, prompt.buttons, prompt.icon);
}

LRESULT CALLBACK Win32Window::FrameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    Win32Window* self = Self<Win32Window>(window, GWLP_USERDATA);
    if (!self || !self->m_frame) return DefWindowProcW(window, message, wParam, lParam);
    return self->OnFrame(message, wParam, lParam);
}

LRESULT Win32Window::OnFrame(UINT message, WPARAM wParam, LPARAM lParam)
{
    HWND frame = m_frame;
    switch (message) {
    case WM_GETMINMAXINFO: {
        auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
        limits->ptMaxTrackSize = {GetSystemMetrics(SM_CXSCREEN) - 4, GetSystemMetrics(SM_CYSCREEN) - 4};
        limits->ptMinTrackSize = {0, 0};
        return 0;
    }
    case WM_SETFOCUS:
        if (m_form) SetFocus(m_form);
        return 0;
    case kChangedMessage:
        m_posted = false;
        Update();
        return 0;
    case WM_TIMER:
        if (wParam == kRefreshTimer) Update();
        return 0;
    case WM_CLOSE:
        // The session decides: at once while idle, after the question and
        // the end of the run while a line runs.
        if (m_session) m_session->Close();
        Update();
        return 0;
    case WM_QUERYENDSESSION:
        return m_session && m_session->App().Control().AnyLineRunning() ? FALSE : TRUE;
    case WM_ENDSESSION:
        if (wParam) EndSession();
        return 0;
    case kUninstallMessage:
        StartUninstaller();
        return 0;
    case WM_DESTROY:
        KillTimer(frame, kRefreshTimer);
        if (m_blockingEnd) ShutdownBlockReasonDestroy(frame);
        m_blockingEnd = false;
        m_frame = nullptr;
        m_form = nullptr;
        PostQuitMessage(0);
        return 0;
    default: return DefWindowProcW(frame, message, wParam, lParam);
    }
}

INT_PTR CALLBACK Win32Window::FormProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        return FALSE;
    }
    Win32Window* self = Self<Win32Window>(dialog, DWLP_USER);
    return self ? self->OnForm(message, wParam, lParam) : FALSE;
}

INT_PTR Win32Window::OnForm(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CTLCOLORSTATIC: {
        const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
        if (id < IDC_WARNING_FIRST || id > IDC_WARNING_LAST) return FALSE;
        const auto context = reinterpret_cast<HDC>(wParam);
        SetTextColor(context, kWarningColour);
        SetBkMode(context, TRANSPARENT);
        return reinterpret_cast<INT_PTR>(GetStockObject(HOLLOW_BRUSH));
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_UPDATE && HIWORD(wParam) == BN_CLICKED && m_session) {
            static_cast<void>(m_session->PressStart());
            Update();
            return TRUE;
        }
        return FALSE;
    default: return FALSE;
    }
}

void Win32Window::Update()
{
    if (!m_session || !m_frame) return;
    const SessionEvents events = m_session->Pump();
    // The window may have gone while a box of this pump was open.
    if (!m_frame) return;
    const FormView view = m_session->View();
    Render(view);
    RenderRun(view);
    if (events.closeNow) DestroyWindow(m_frame);
}

void Win32Window::Render(const FormView& view)
{
    const auto text = [&](int id, const std::string FormView::*field) {
        if (m_shown && (*m_shown).*field == view.*field) return;
        SetDlgItemTextW(m_form, id, platform::WideText(view.*field).c_str());
    };
    text(IDC_PORT, &FormView::portField);
    text(IDC_VERSION, &FormView::versionField);
    if (!m_shown || m_shown->statusLine != view.statusLine) {
        SetDlgItemTextW(m_form, IDC_STATUS, platform::WideText(NewestEntry(view.statusLine)).c_str());
    }
    text(IDC_RATIO, &FormView::ratio);
    if (!m_shown || m_shown->progress != view.progress) {
        SendDlgItemMessageW(m_form, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(view.progress), 0);
    }
    if (!m_shown || m_shown->startEnabled != view.startEnabled) {
        EnableWindow(GetDlgItem(m_form, IDC_UPDATE), view.startEnabled ? TRUE : FALSE);
    }
    m_shown = view;
}

void Win32Window::RenderRun(const FormView& view)
{
    HWND frame = m_frame;
    const bool running = m_session->App().Control().AnyLineRunning();
    if (running != m_blockingEnd) {
        if (running) ShutdownBlockReasonCreate(frame, kEndSessionReason);
        else ShutdownBlockReasonDestroy(frame);
        m_blockingEnd = running;
    }
    if (!m_taskbar) return;
    const TaskbarProgress wanted = TaskbarFor(running, view.progress, m_session->App().LastFinish());
    if (m_taskbarShown == wanted) return;
    switch (wanted.state) {
    case TaskbarProgress::State::None: m_taskbar->SetProgressState(frame, TBPF_NOPROGRESS); break;
    case TaskbarProgress::State::Normal: m_taskbar->SetProgressState(frame, TBPF_NORMAL); break;
    case TaskbarProgress::State::Error: m_taskbar->SetProgressState(frame, TBPF_ERROR); break;
    }
    if (wanted.state != TaskbarProgress::State::None) {
        m_taskbar->SetProgressValue(frame, static_cast<ULONGLONG>(wanted.percent), 100);
    }
    m_taskbarShown = wanted;
}

void Win32Window::StartUninstaller()
{
    if (!m_session) return;
    Application& application = m_session->App();
    if (!application.ReleaseCurrentPort()) {
        m_session->Note("Another program asked for the uninstaller while a line runs: it is not started, so that the "
                        "run is not cut short.");
        return;
    }
    // On this thread, so that nothing can start a run in the meantime.
    application.Backends().clock.SleepMs(kUninstallPauseMs);
    // Beside the program, never from the current folder: an elevated
    // program must not start whatever that folder holds.
    std::wstring program(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size()));
        if (length < program.size()) {
            program.resize(length);
            break;
        }
        program.resize(program.size() * 2);
    }
    const std::wstring uninstaller = BesideProgram(program, L"UnInstallAll.exe");
    if (!uninstaller.empty()) {
        ShellExecuteW(nullptr, L"open", uninstaller.c_str(), nullptr, nullptr, SW_SHOWMAXIMIZED);
    }
    application.ResumeAfterRelease();
}

void Win32Window::EndSession()
{
    // Windows may end the process as soon as this returns: the clean-up
    // happens now.
    if (!m_session || m_endedStatus) return;
    m_endedStatus = m_session->Finish();
    if (HWND frame = m_frame) DestroyWindow(frame);
}

}  // namespace app
