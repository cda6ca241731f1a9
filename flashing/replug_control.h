#pragma once

#include "platform/scoped_backend.h"

namespace flashing {

// The application's re-plug thread and library, as the clean-up needs them.
class IReplugControl {
public:
    virtual ~IReplugControl() = default;
    // Returns once the thread no longer calls into the library.
    virtual void StopThread() = 0;
    virtual void UnloadLibrary() = 0;
};

// Installs the control the clean-up uses; null when there is none. Returns
// the one it replaced.
IReplugControl* SetReplugControl(IReplugControl* control);
// The control installed now, or null.
IReplugControl* ReplugControl();

using ScopedReplugControl = platform::ScopedBackend<IReplugControl, SetReplugControl>;

}  // namespace flashing
