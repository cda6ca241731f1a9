#pragma once

namespace platform {

// Installs a process-wide backend for the lifetime of a scope and puts back
// the one it replaced, so that scopes nest: a thread still running when an
// inner scope ends reaches the outer backend, never a destroyed one.
// `Install` stores its argument and returns what was there before.
template <typename Backend, Backend* (*Install)(Backend*)>
class ScopedBackend {
public:
    explicit ScopedBackend(Backend& backend) : m_previous(Install(&backend)) {}
    ~ScopedBackend() { Install(m_previous); }
    ScopedBackend(const ScopedBackend&) = delete;
    ScopedBackend& operator=(const ScopedBackend&) = delete;

private:
    Backend* m_previous;
};

}  // namespace platform
