#include "app/startup.h"

#include "platform/backends.h"
#include "platform/message_box.h"

namespace app {
namespace {

constexpr std::uint32_t kSearchStartPauseMs = 100;

void ShowBox(const char* text)
{
    platform::MessageBoxes().Show(text, flashing::kBoxTitle, platform::BoxButtons::Ok, platform::BoxIcon::None);
}

}  // namespace

Application::Application(CVadodIVODAvuzUzovDoc& document, FormState& form, IReplugThread* replug)
    : m_document(document), m_form(form), m_replug(replug), m_report(form), m_search(document, m_report, form),
      m_control(document, m_report, form, *this)
{
    m_control.OnFinish([this](int, FinishCode code) { m_finish = static_cast<int>(code); });
}

Application::~Application()
{
    if (m_replug) flashing::SetReplugControl(nullptr);
}

StartUp Application::Start()
{
    m_instance = std::make_unique<platform::SingleInstance>(kInstanceName);
    if (!m_instance->Claimed()) {
        m_instance.reset();
        ShowBox(kAlreadyRunning);
        return StartUp::AlreadyRunning;
    }

    // A folder whose paths would not fit line 1's record is as unusable as
    // one that cannot be created.
    DownloadLine& line = m_document.Line(0);
    if (!flashing::PrepareWorkingFolder() || !flashing::FillImagePaths(line, flashing::WorkingFolder())) {
        ShowBox(kPathError);
        return StartUp::PathError;
    }
    flashing::ExtractWorkingFiles();

    for (int index = 0; index < CVadodIVODAvuzUzovDoc::kLineCount; ++index) {
        m_form.RefreshPortField(index);
        m_form.RefreshDeviceText(index);
        m_form.RefreshLineControls(index, true);
        m_report.SetLineProgress(index, 0);
    }
    // The port search enables it once a device answers.
    m_form.RefreshLineControls(0, false);

    if (m_replug) {
        flashing::SetReplugControl(m_replug);
        m_replug->Start();
    }
    m_search.Start(0);
    platform::Clock().SleepMs(kSearchStartPauseMs);
    return StartUp::Running;
}

bool Application::ConfirmQuit()
{
    if (!m_control.AnyLineRunning()) return true;
    return platform::MessageBoxes().Show(kQuitQuestion, kQuitTitle, platform::BoxButtons::YesNo,
                                         platform::BoxIcon::Stop) == platform::BoxAnswer::Yes;
}

void Application::Quit()
{
    m_search.StopAll();
    StopReplug();
    // The workers own the device until their runs end; the files go after.
    m_control.WaitForWorkers();
    flashing::RemoveWorkingFiles(flashing::Cleanup::EndOfRun);
}

std::optional<FinishCode> Application::LastFinish() const
{
    const int code = m_finish;
    if (code < 0) return std::nullopt;
    return static_cast<FinishCode>(code);
}

void Application::StopReplug()
{
    if (m_replug) m_replug->StopThread();
}

void Application::Exit(int)
{
    m_exitRequested = true;
    m_form.PostClose();
}

}  // namespace app
