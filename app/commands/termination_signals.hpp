// SIGTERM and SIGINT turned into a readable byte, so that a quit asked by the desktop or a
// terminal goes through the same cancel-and-wait as closing the window.
#pragma once

#include "marrowzip/common/unique_fd.hpp"

namespace dunmarrow {

// While an object lives, SIGTERM and SIGINT no longer end the process: the handler writes one
// byte to a pipe whose reading end `fd()` the event loop watches. Only one may exist at a time.
class TerminationSignals {
public:
    TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;
    // Restores the default actions.
    ~TerminationSignals();

    // Readable once a signal has arrived.
    int fd() const noexcept { return readEnd_.get(); }
    // Reads what the handler wrote; true when a signal has arrived since the last call.
    bool consume() const;

private:
    marrowzip::UniqueFd readEnd_;
    marrowzip::UniqueFd writeEnd_;
};

}  // namespace dunmarrow
