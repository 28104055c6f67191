#include "marrowzip/processing/worker_pool.hpp"

namespace marrowzip {

WorkerPool::WorkerPool(std::size_t workers) {
    threads_.reserve(workers);
    try {
        for (std::size_t worker = 0; worker < workers; ++worker) {
            threads_.emplace_back([this, worker] { run(worker); });
        }
    } catch (...) {
        stop();  // the threads started so far
        throw;
    }
}

WorkerPool::~WorkerPool() {
    stop();
}

void WorkerPool::stop() noexcept {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    available_.notify_all();
    for (std::thread& thread : threads_)
        thread.join();
}

void WorkerPool::submit(Task task, bool urgent) {
    {
        const std::lock_guard lock(mutex_);
        if (urgent) {
            tasks_.push_front(std::move(task));
        } else {
            tasks_.push_back(std::move(task));
        }
    }
    available_.notify_one();
}

void WorkerPool::run(std::size_t worker) {
    for (;;) {
        Task task;
        {
            std::unique_lock lock(mutex_);
            available_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty()) return;  // stopping, and nothing left to run
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task(worker);
    }
}

}  // namespace marrowzip
