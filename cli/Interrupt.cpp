#include "Interrupt.h"

#include <csignal>
#include <cstdlib>
#include <deque>
#include <mutex>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace vqx::cli {

namespace {

// Signal handlers can only reach what is global; everything they touch is lock-free.
struct Note {
    std::string text;
};
std::atomic<int> g_signals{0};
std::atomic<bool> g_stop{false};
std::atomic<const Note*> g_note{nullptr};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free &&
              std::atomic<const Note*>::is_always_lock_free);

/// Notes stay alive until the process ends: a handler may be reading an older one.
std::mutex g_notesLock;
std::deque<Note>& notes() {
    static std::deque<Note> all;
    return all;
}

using Handler = void (*)(int);
Handler g_previousInt = SIG_DFL;
Handler g_previousTerm = SIG_DFL;

extern "C" void onSignal(int sig) {
    // Some C libraries reset the handler on delivery; keep it for the second signal.
    std::signal(sig, onSignal);
    g_stop.store(true);
    if (g_signals.fetch_add(1) + 1 < 2)
        return;
    if (const Note* note = g_note.load()) {
#ifdef _WIN32
        _write(2, note->text.data(), static_cast<unsigned>(note->text.size()));
#else
        [[maybe_unused]] const auto n = ::write(2, note->text.data(), note->text.size());
#endif
    }
    std::_Exit(130);
}

} // namespace

InterruptGuard::InterruptGuard() {
    g_signals = 0;
    g_stop = false;
    g_previousInt = std::signal(SIGINT, onSignal);
    g_previousTerm = std::signal(SIGTERM, onSignal);
}

InterruptGuard::~InterruptGuard() {
    std::signal(SIGINT, g_previousInt == SIG_ERR ? SIG_DFL : g_previousInt);
    std::signal(SIGTERM, g_previousTerm == SIG_ERR ? SIG_DFL : g_previousTerm);
    g_note = nullptr;
}

bool InterruptGuard::requested() {
    return g_stop.load();
}

const std::atomic<bool>* InterruptGuard::flag() {
    return &g_stop;
}

void InterruptGuard::setNote(const std::string& text) {
    std::lock_guard lock(g_notesLock);
    notes().push_back(Note{text});
    g_note = &notes().back();
}

} // namespace vqx::cli
