// A fixed set of threads running tasks in the order they were submitted. A task learns which
// worker runs it, so that per-worker state (a coder) needs no lock.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace marrowzip {

class WorkerPool {
public:
    // Tasks must not throw: an escaping exception ends the program.
    using Task = std::function<void(std::size_t worker)>;

    explicit WorkerPool(std::size_t workers);
    // Runs the tasks still queued, then joins the threads.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // `urgent`: run before the tasks already waiting (the next free worker takes it).
    void submit(Task task, bool urgent = false);
    std::size_t size() const noexcept { return threads_.size(); }

private:
    void run(std::size_t worker);
    // Lets the threads finish the queued tasks and joins them.
    void stop() noexcept;

    std::mutex mutex_;
    std::condition_variable available_;
    std::deque<Task> tasks_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;  // last: started once the rest is set up
};

}  // namespace marrowzip
