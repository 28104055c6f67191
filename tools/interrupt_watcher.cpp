#include "interrupt_watcher.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cstdlib>

#include "marrowzip/common/progress.hpp"

namespace marrowzip::tool {
namespace {

// A shell starts background jobs with SIGINT and SIGQUIT ignored, and nohup ignores SIGHUP:
// such a signal was not meant for this process and stays ignored. SIGTERM is always watched.
bool isIgnored(int signal) {
    struct sigaction current {};
    return sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

}  // namespace

InterruptWatcher::InterruptWatcher() {
    sigemptyset(&watched_);
    sigaddset(&watched_, SIGTERM);
    for (int signal : {SIGINT, SIGHUP}) {
        if (!isIgnored(signal)) sigaddset(&watched_, signal);
    }
    pthread_sigmask(SIG_BLOCK, &watched_, &previousMask_);
    thread_ = std::thread([this] { watch(); });
}

InterruptWatcher::~InterruptWatcher() {
    // The watcher sleeps in sigwait: a SIGTERM aimed at that thread alone wakes it to stop.
    stopping_.store(true);
    // NOLINTNEXTLINE(bugprone-bad-signal-to-kill-thread)
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
    // A signal that came after the last check is dropped: the command has finished, and
    // unblocking it would end the process with 128 + its number, as if something had been
    // rolled back.
    const timespec noWait{};
    while (sigtimedwait(&watched_, nullptr, &noWait) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

void InterruptWatcher::watch() {
    for (;;) {
        int signal = 0;
        if (sigwait(&watched_, &signal) != 0) continue;
        if (stopping_.load()) return;
        onSignal(signal);
    }
}

void InterruptWatcher::onSignal(int signal) {
    int expected = 0;
    if (!received_.compare_exchange_strong(expected, signal)) {
        // A second signal: the person does not want to wait for the rollback or the next chunk
        // (a read blocked on a pipe never reaches one).
        static constexpr char message[] = "\nmarrowzip: interrupted again; stopping at once\n";
        [[maybe_unused]] auto written = ::write(STDERR_FILENO, message, sizeof message - 1);
        std::_Exit(128 + signal);
    }
    std::lock_guard lock(mutex_);
    if (progress_ != nullptr) progress_->cancel();
}

InterruptWatcher::Attachment InterruptWatcher::attach(Progress& progress) {
    std::lock_guard lock(mutex_);
    progress_ = &progress;
    if (requested()) progress.cancel();
    return Attachment(*this);
}

InterruptWatcher::Attachment::~Attachment() {
    std::lock_guard lock(watcher_.mutex_);
    watcher_.progress_ = nullptr;
}

}  // namespace marrowzip::tool
