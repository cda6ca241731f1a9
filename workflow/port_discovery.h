#pragma once

#include <array>
#include <stop_token>
#include <thread>

#include "workflow/document.h"
#include "workflow/form_link.h"
#include "workflow/line_reporting.h"

// Asks `finder` for the device's ports, afresh at every call. True when the
// diagnostic port number was found and stored; the modem port number is
// stored when found but does not decide the result.
[[nodiscard]] bool FindPorts(platform::IPortFinder& finder, DownloadLine& line);

// The port-search thread of one line: keeps finding the device, opens its
// ports, asks who it is and keeps the form's status and start control
// current. Every pause ends early once `stop` is requested; the thread
// then returns at its next step.
void PortSearchThread(std::stop_token stop, platform::IPortFinder& finder, const LineContext& target, IFormLink& form);

// The port-search threads of the document's lines, at most one per line.
// Start and Stop are called from one thread, the user-interface thread.
// Destroying the object stops every thread.
class PortSearch {
public:
    PortSearch(CVadodIVODAvuzUzovDoc& document, ILineReporter& reporter, IFormLink& form)
        : m_document(document), m_reporter(reporter), m_form(form)
    {
    }
    PortSearch(const PortSearch&) = delete;
    PortSearch& operator=(const PortSearch&) = delete;

    // Stops the line's thread if it has one, makes the line the document's
    // current line and starts a new thread on it.
    void Start(int line);
    // Asks the line's thread to stop and returns once it has: nothing of it
    // touches the line, its ports, the reporter or the form afterwards.
    void Stop(int line);
    void StopAll();
    // Whether the line has a search thread that was not stopped.
    bool Searching(int line) const { return m_threads[static_cast<std::size_t>(line)].joinable(); }

private:
    CVadodIVODAvuzUzovDoc& m_document;
    ILineReporter& m_reporter;
    IFormLink& m_form;
    std::array<std::jthread, CVadodIVODAvuzUzovDoc::kLineCount> m_threads;
};
