#pragma once

namespace flashing {

// The application's re-plug thread and library, as the clean-up needs them.
class IReplugControl {
public:
    virtual ~IReplugControl() = default;
    // Returns once the thread no longer calls into the library.
    virtual void StopThread() = 0;
    virtual void UnloadLibrary() = 0;
};

}  // namespace flashing
