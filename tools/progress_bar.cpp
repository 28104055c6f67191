#include "progress_bar.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <iostream>

#include "marrowzip/common/progress.hpp"
#include "reporting.hpp"

namespace marrowzip::tool {
namespace {

constexpr auto redrawInterval = std::chrono::milliseconds(200);

int terminalColumns() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

}  // namespace

std::string humanSize(double bytes) {
    static constexpr std::array<const char*, 5> units = {"B", "KiB", "MiB", "GiB", "TiB"};
    std::size_t unit = 0;
    while (bytes >= 1024.0 && unit + 1 < units.size()) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[32];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%.0f %s", bytes, units[unit]);
    } else {
        std::snprintf(text, sizeof text, "%.1f %s", bytes, units[unit]);
    }
    return text;
}

ProgressBar::ProgressBar(const Progress& progress, std::string label, bool enabled)
    : progress_(progress),
      label_(std::move(label)),
      enabled_(enabled),
      start_(std::chrono::steady_clock::now()) {
    if (enabled_) thread_ = std::thread([this] { run(); });
}

ProgressBar::~ProgressBar() {
    if (!enabled_) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    clear();
}

void ProgressBar::printErrorLine(std::string_view line) {
    std::lock_guard lock(mutex_);
    if (enabled_) clear();
    tool::printErrorLine(line);
}

void ProgressBar::run() {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, redrawInterval, [this] { return stopping_; }))
        draw();
}

void ProgressBar::draw() {
    const double fraction = progress_.fractionCompleted();
    const double total = static_cast<double>(std::max<std::int64_t>(progress_.totalUnitCount(), 0));
    const double done = fraction * total;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();

    char numbers[96];
    std::snprintf(numbers, sizeof numbers, " %3.0f%% %s / %s  %s/s", fraction * 100.0,
                  humanSize(done).c_str(), humanSize(total).c_str(),
                  humanSize(seconds > 0 ? done / seconds : 0).c_str());
    const std::string tail = numbers;
    // Label, bar and numbers on one line that never wraps.
    // Three columns spare: the terminal echoes "^C" after the bar, and it must not wrap.
    const int columns = std::min(terminalColumns(), 120) - 3;
    const int barWidth =
        columns - static_cast<int>(label_.size()) - static_cast<int>(tail.size()) - 3;
    std::string line = label_;
    if (barWidth >= 10) {
        const int filled = static_cast<int>(fraction * barWidth);
        line += " [" + std::string(static_cast<std::size_t>(filled), '#') +
                std::string(static_cast<std::size_t>(barWidth - filled), ' ') + "]";
    }
    line += tail;
    if (static_cast<int>(line.size()) > columns) line.resize(static_cast<std::size_t>(columns));
    std::cerr << '\r' << line << "\x1b[K" << std::flush;
}

void ProgressBar::clear() {
    std::cerr << "\r\x1b[K" << std::flush;
}

}  // namespace marrowzip::tool
