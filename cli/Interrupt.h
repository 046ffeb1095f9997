#pragma once
// Ctrl-C (SIGINT) and SIGTERM while a command writes: the first asks the command to stop
// starting work and to let every record transfer in flight end; the second ends the process
// at once with status 130, after printing a note that says which modules may be half
// written. Handlers are installed while an InterruptGuard lives and the previous ones
// restored afterwards; other commands keep the default behaviour (the process ends).

#include <atomic>
#include <string>

namespace vqx::cli {

class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    /// True once a signal arrived while the guard lives.
    static bool requested();
    /// The flag the module sessions watch.
    static const std::atomic<bool>* flag();
    /// The text written to stderr on a second signal, before the process ends.
    static void setNote(const std::string& text);
};

} // namespace vqx::cli
