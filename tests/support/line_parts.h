#pragma once

#include "recording_reporter.h"
#include "test_backends.h"
#include "workflow/line_record.h"
#include "workflow/line_reporting.h"

// Line 1's context, the reporter it writes to and the message boxes it shows.
struct LineParts {
    LineParts(platform::IClock& clock, platform::ISerialPorts& ports) : line(others.With(clock, ports)) {}

    OtherBackends others;
    platform::RecordingMessageBoxes& boxes = others.boxes;
    DownloadLine line;
    RecordingReporter reporter;
    LineContext ctx{0, line, reporter};
};
