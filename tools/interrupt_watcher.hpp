// Ctrl-C (and termination or hang-up) during an operation: the operation's progress object is
// cancelled, the engine rolls back or stops at its next chunk, and the tool exits with
// 128 + the signal number.
//
// No signal handler and no global state: the signals are blocked in every thread (the watcher
// is made first in main, before any other thread, and threads inherit the mask), and a watcher
// thread takes them with sigtimedwait. So the reaction runs as ordinary code on an ordinary
// thread, free to lock a mutex and call Progress::cancel().
#pragma once

#include <signal.h>  // NOLINT(modernize-deprecated-headers): sigset_t, pthread_sigmask: POSIX

#include <atomic>
#include <mutex>
#include <thread>

namespace marrowzip {
class Progress;
}

namespace marrowzip::tool {

class InterruptWatcher {
public:
    InterruptWatcher();
    ~InterruptWatcher();
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

    // The signal that asked the tool to stop, or 0.
    int signalNumber() const noexcept { return received_.load(); }
    bool requested() const noexcept { return signalNumber() != 0; }

    // While the returned object lives, a signal cancels `progress` (at once if one came before).
    class Attachment {
    public:
        Attachment(const Attachment&) = delete;
        Attachment& operator=(const Attachment&) = delete;
        ~Attachment();

    private:
        friend class InterruptWatcher;
        explicit Attachment(InterruptWatcher& watcher) : watcher_(watcher) {}
        InterruptWatcher& watcher_;
    };
    [[nodiscard]] Attachment attach(Progress& progress);

private:
    void watch();
    void onSignal(int signal);

    sigset_t watched_;
    sigset_t previousMask_;
    std::atomic<int> received_{0};
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    Progress* progress_ = nullptr;  // guarded by mutex_
    std::thread thread_;
};

}  // namespace marrowzip::tool
