// A one-line progress bar on standard error, redrawn a few times a second from a Progress:
// percentage, bytes done and total, rate. Drawn only when asked (a terminal, no --quiet).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace marrowzip {
class Progress;
}

namespace marrowzip::tool {

class ProgressBar {
public:
    ProgressBar(const Progress& progress, std::string label, bool enabled);
    // Stops drawing and clears the line, so what follows starts on a clean line.
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // Prints an error line ("marrowzip: …") above the bar.
    void printErrorLine(std::string_view line);

private:
    void run();
    void draw();
    void clear();

    const Progress& progress_;
    std::string label_;
    bool enabled_;
    std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;  // one writer of standard error at a time
    std::condition_variable wake_;
    bool stopping_ = false;  // guarded by mutex_
    std::thread thread_;
};

// "512 B", "1.5 KiB", "200.0 MiB"…
std::string humanSize(double bytes);

}  // namespace marrowzip::tool
