// upgrader.exe: the upgrade tool as a Windows program. One fixed window
// shows the form; the session behind it is the one the terminal front end
// drives. The exit status says how the run ended; a second copy and a
// working folder that cannot be made end with 0 after their box.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "app/replug_library_win32.h"
#include "app/replug_thread.h"
#include "app/session.h"
#include "app/win32_window.h"
#include "app/window_policy.h"
#include "flashing/working_folder.h"
#include "platform/backends.h"
#include "platform/files.h"
#include "platform/serial_win32.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    const bool com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));

    // Tests run the fixed waits faster; never by default.
    std::string timeNote;
    std::unique_ptr<platform::ScaledClock> clock;
    if (const char* value = std::getenv(app::kTimeScaleVariable)) {
        if (const std::optional<double> scale = app::ParseTimeScale(value, timeNote)) {
            clock = std::make_unique<platform::ScaledClock>(*scale);
            timeNote = app::TimeScaleNote(*scale);
        }
    }

    platform::Win32SerialPorts ports;
    platform::RealClock realClock;
    const std::unique_ptr<platform::IKeepAwake> awake = platform::SystemKeepAwake();
    platform::SystemProcess process;
    const std::unique_ptr<platform::IPortFinder> finder = platform::SystemPortFinder();
    const std::unique_ptr<platform::IMessageBoxes> boxes = platform::SystemMessageBoxes();
    const platform::Backends backends{clock ? static_cast<platform::IClock&>(*clock) : realClock,
                                      ports,
                                      *awake,
                                      process,
                                      *finder,
                                      *boxes,
                                      platform::EmbeddedPayloads(),
                                      platform::ByteLogPath()};
    app::Win32ReplugLibrary library;
    app::ReplugThread replug(library);
    app::Win32Window window(instance);
    if (!window.Create()) return app::kStartupFailed;

    int status = 0;
    {
        app::Session session(window, backends, {flashing::DefaultWorkingFolder(), &replug});
        window.Attach(session);
        const auto toRunLog = [&session](const std::string& text) { session.Note(text); };
        if (!timeNote.empty()) toRunLog(timeNote);
        ports.OnHeld(toRunLog);
        if (session.Start() == app::StartUp::Running) {
            window.Show(showCommand);
            const std::optional<int> ended = window.Run();
            status = ended ? *ended : session.Finish();
        }
        // A box the re-plug thread still shows goes through the session.
        replug.Join();
        ports.OnHeld({});
    }
    if (com) CoUninitialize();
    return status;
}
