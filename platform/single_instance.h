#pragma once

#include <string>

namespace platform {

// Marks this program as running for as long as the object lives, so that a
// second copy can tell, whichever user started either. Windows: a named
// mutex. Linux: an flock on a lock file named after the name in a folder
// every user shares, which every copy sees whatever its network namespace,
// and beside it a socket bound to the name in the abstract namespace. The
// system drops both however the process ends; the lock file stays behind
// and is taken again by the next copy.
class SingleInstance {
public:
    explicit SingleInstance(const std::string& name);
#ifndef _WIN32
    // The lock file goes into `lockFolder` instead.
    SingleInstance(const std::string& name, const std::string& lockFolder);
#endif
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // False when another holder of the same name came first, or (Linux)
    // when the lock file is there but cannot be taken: it may be held by a
    // copy this one cannot see. A mark that cannot be made at all (no lock
    // file can be created) does not stop the program.
    bool Claimed() const { return m_claimed; }

private:
#ifdef _WIN32
    void* m_handle = nullptr;
#else
    int m_fd = -1;
    int m_lockFd = -1;
#endif
    bool m_claimed = true;
};

}  // namespace platform
