#pragma once

#include "flashing/image_set.h"
#include "platform/message_box.h"
#include "recording_reporter.h"

// Line 1's context, the reporter it writes to and the message boxes it shows.
struct LineParts {
    platform::RecordingMessageBoxes boxes;
    platform::ScopedMessageBoxes useBoxes{boxes};
    DownloadLine line;
    RecordingReporter reporter;
    LineContext ctx{0, line, reporter};
};
