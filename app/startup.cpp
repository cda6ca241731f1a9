#include "app/startup.h"

#include "flashing/box_title.h"
#include "flashing/clean_up.h"
#include "flashing/extraction.h"
#include "flashing/line_paths.h"
#include "flashing/working_folder.h"
#include "platform/backends.h"
#include "workflow/nv_backup.h"

namespace app {
namespace {

constexpr std::uint32_t kSearchStartPauseMs = 100;
const std::string kFirmwareIncomplete = "The firmware could not be extracted whole into ";
const std::string kFirmwareIncompleteAction = ". Make room there, then start the program again.";

void ShowBox(const platform::Backends& backends, const char* text)
{
    backends.messageBoxes.Show(text, flashing::kBoxTitle, platform::BoxButtons::Ok, platform::BoxIcon::None);
}

}  // namespace

Application::Application(CVadodIVODAvuzUzovDoc& document, FormState& form, IReplugThread* replug,
                         std::string instanceName)
    : m_document(document), m_form(form), m_replug(replug), m_instanceName(std::move(instanceName)),
      m_report(form, document.Backends().clock),
      m_search(document, m_report, form),
      m_control(document, m_report, form, *this)
{
    m_control.OnFinish([this](int, RunEnd end) {
        std::lock_guard lock(m_finishMutex);
        m_finish = end;
    });
}

Application::~Application() = default;

StartUp Application::Start()
{
    const platform::Backends& backends = m_document.Backends();
    const std::string& folder = m_document.WorkingFolder();
    m_instance = std::make_unique<platform::SingleInstance>(m_instanceName);
    if (!m_instance->Claimed()) {
        m_instance.reset();
        ShowBox(backends, kAlreadyRunning);
        return StartUp::AlreadyRunning;
    }

    // A folder whose paths would not fit line 1's record is as unusable as
    // one that cannot be created.
    DownloadLine& line = m_document.Line(0);
    if (!flashing::PrepareWorkingFolder(folder) || !flashing::FillImagePaths(line, folder)) {
        ShowBox(backends, kPathError);
        return StartUp::PathError;
    }
    // A backup left by a run that was cut short (killed, power lost) is the
    // only copy of that device's NV items: it is set aside before anything
    // may delete or overwrite it.
    const std::string leftover = workflow::SetNvBackupAside(line.record.nvBackupPath.Get(), "previous", backends.clock.Now());
    const bool complete = flashing::ExtractWorkingFiles(folder, backends);

    for (int index = 0; index < CVadodIVODAvuzUzovDoc::kLineCount; ++index) {
        m_form.RefreshPortField(index);
        m_form.RefreshDeviceText(index);
        m_form.RefreshLineControls(index, true);
        m_report.SetLineProgress(index, 0);
    }
    // The port search enables it once a device answers.
    m_form.RefreshLineControls(0, false);
    if (!leftover.empty()) m_report.AppendLineText(0, "NV backup of an earlier run kept in " + leftover, true);

    // Without its whole firmware the program must not offer a run, nor
    // reach for the device at all.
    if (!complete) {
        m_report.AppendLineText(0, kFirmwareIncomplete + folder + kFirmwareIncompleteAction, true);
        return StartUp::Running;
    }
    if (m_replug) {
        m_replugStarted = true;
        m_replug->Start(backends, folder);
    }
    m_search.Start(0);
    backends.clock.SleepMs(kSearchStartPauseMs);
    return StartUp::Running;
}

bool Application::ConfirmQuit()
{
    if (!m_control.AnyLineRunning()) return true;
    return m_document.Backends().messageBoxes.Show(kQuitQuestion, kQuitTitle, platform::BoxButtons::YesNo,
                                                   platform::BoxIcon::Stop) == platform::BoxAnswer::Yes;
}

void Application::Quit()
{
    m_search.StopAll();
    StopReplug();
    // The workers own the device until their runs end; the files go after.
    m_control.WaitForWorkers();
    flashing::RemoveWorkingFiles(m_document.WorkingFolder(), flashing::Cleanup::EndOfRun, m_document.Backends().clock,
                                 Replug());
}

bool Application::ReleaseCurrentPort()
{
    if (m_control.AnyLineRunning()) return false;
    const int line = m_document.currentLine;
    if (m_search.Searching(line)) m_releasedSearch = line;
    m_search.Stop(line);
    static_cast<void>(m_document.Line(line).protocol.port.Close());
    return true;
}

void Application::ResumeAfterRelease()
{
    if (m_releasedSearch) m_search.Start(*m_releasedSearch);
    m_releasedSearch.reset();
}

std::optional<RunEnd> Application::LastFinish() const
{
    std::lock_guard lock(m_finishMutex);
    return m_finish;
}

flashing::IReplugControl* Application::Replug() { return m_replugStarted ? m_replug : nullptr; }

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
