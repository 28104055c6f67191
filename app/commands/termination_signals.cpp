#include "app/commands/termination_signals.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <system_error>

namespace dunmarrow {

namespace {

// The writing end of the pipe, for the handler: a signal handler can reach nothing but
// globals, and may only use lock-free atomics and async-signal-safe calls such as write().
// -1 while no TerminationSignals object lives.
std::atomic<int> signalPipeWriteEnd{-1};

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free atomic");

constexpr std::array<int, 2> terminationSignals = {SIGTERM, SIGINT};

extern "C" void writeSignalByte(int /*signal*/) {
    const int savedErrno = errno;
    const int fd = signalPipeWriteEnd.load();
    const char byte = 1;
    // A full pipe already holds a pending byte: losing this one changes nothing.
    if (fd >= 0) {
        const ssize_t written = ::write(fd, &byte, 1);
        static_cast<void>(written);
    }
    errno = savedErrno;
}

void setNonBlockingAndCloseOnExec(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 ||
        ::fcntl(fd, F_SETFD, FD_CLOEXEC) < 0) {
        throw std::system_error(errno, std::generic_category(), "signal pipe");
    }
}

void setAction(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : terminationSignals)
        ::sigaction(signal, &action, nullptr);
}

}  // namespace

TerminationSignals::TerminationSignals() {
    std::array<int, 2> ends{};
    if (::pipe(ends.data()) != 0) {
        throw std::system_error(errno, std::generic_category(), "signal pipe");
    }
    readEnd_.reset(ends[0]);
    writeEnd_.reset(ends[1]);
    setNonBlockingAndCloseOnExec(readEnd_.get());
    setNonBlockingAndCloseOnExec(writeEnd_.get());
    int expected = -1;
    if (!signalPipeWriteEnd.compare_exchange_strong(expected, writeEnd_.get())) {
        throw std::logic_error("termination signals are already watched");
    }
    setAction(writeSignalByte);
}

TerminationSignals::~TerminationSignals() {
    setAction(SIG_DFL);
    signalPipeWriteEnd.store(-1);
}

bool TerminationSignals::consume() const {
    std::array<char, 64> bytes{};
    bool arrived = false;
    while (::read(readEnd_.get(), bytes.data(), bytes.size()) > 0)
        arrived = true;
    return arrived;
}

}  // namespace dunmarrow
