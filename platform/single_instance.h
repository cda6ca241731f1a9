#pragma once

#include <string>

namespace platform {

// Marks this program as running for as long as the object lives, so that a
// second copy can tell, whichever user started either. Windows: a named
// mutex. Linux: a socket bound to the name in the abstract namespace, which
// the system drops however the process ends, so a crash leaves no stale
// mark.
class SingleInstance {
public:
    explicit SingleInstance(const std::string& name);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // False when another holder of the same name came first. A mark that
    // cannot be made at all does not stop the program.
    bool Claimed() const { return m_claimed; }

private:
#ifdef _WIN32
    void* m_handle = nullptr;
#else
    int m_fd = -1;
#endif
    bool m_claimed = true;
};

}  // namespace platform
