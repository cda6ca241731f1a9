#pragma once

#include <windows.h>
#include <shobjidl.h>

#include <atomic>
#include <optional>

#include "app/session.h"
#include "app/window_policy.h"

namespace app {

inline constexpr const wchar_t* kWindowTitle = L"DL_LR520S_BEL_MD_ZUD1.00.00";
inline constexpr const wchar_t* kFrameClass = L"UpgraderFrame";
// Told to Windows while a run may not be cut short by the end of the session.
inline constexpr const wchar_t* kEndSessionReason =
    L"A modem upgrade is running; ending now would damage the data card.";
// Other programs send it to the main window to have the uninstaller started.
inline constexpr UINT kUninstallMessage = WM_USER + 1;

// The session's face on Windows: a fixed frame window holding the form of
// dialog template 101. Threads reach it only through the session: a change
// posts the frame one coalesced message, on which the user-interface thread
// pumps the session and renders its view. The boxes are MessageBoxW boxes
// owned by the frame.
class Win32Window final : public ISessionFace {
public:
    explicit Win32Window(HINSTANCE instance) : m_instance(instance) {}
    ~Win32Window() override;
    Win32Window(const Win32Window&) = delete;
    Win32Window& operator=(const Win32Window&) = delete;

    // Creates the frame and the form, hidden, with the frame fitted to the
    // form. False when either cannot be created.
    [[nodiscard]] bool Create();
    // The session it shows, before the session starts.
    void Attach(Session& session) { m_session = &session; }
    // Shows the frame and renders the view.
    void Show(int showCommand);
    // Serves the window's messages until it has been destroyed. The exit
    // status when the session already finished inside (the end of the
    // Windows session).
    std::optional<int> Run();

    void Changed() override;
    platform::BoxAnswer Ask(const Prompt& prompt) override;

private:
    static LRESULT CALLBACK FrameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK FormProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnFrame(UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnForm(UINT message, WPARAM wParam, LPARAM lParam);

    // Pumps the session, renders the view and closes the window when the
    // session says so.
    void Update();
    void Render(const FormView& view);
    // The end-of-session block and the taskbar button, from whether a line
    // runs.
    void RenderRun(const FormView& view);
    void StartUninstaller();
    void EndSession();

    HINSTANCE m_instance;
    std::atomic<HWND> m_frame{nullptr};
    HWND m_form = nullptr;
    Session* m_session = nullptr;
    std::atomic<bool> m_posted{false};
    std::optional<FormView> m_shown;
    bool m_blockingEnd = false;
    ITaskbarList3* m_taskbar = nullptr;
    std::optional<TaskbarProgress> m_taskbarShown;
    std::optional<int> m_endedStatus;
};

}  // namespace app
