#pragma once

#include "platform/message_box.h"
#include "recording_reporter.h"
#include "workflow/line_record.h"
#include "workflow/line_reporting.h"

// Line 1's context, the reporter it writes to and the message boxes it shows.
struct LineParts {
    LineParts(platform::IClock& clock, platform::ISerialPorts& ports) : line(clock, ports) {}

    platform::RecordingMessageBoxes boxes;
    platform::ScopedMessageBoxes useBoxes{boxes};
    DownloadLine line;
    RecordingReporter reporter;
    LineContext ctx{0, line, reporter};
};
