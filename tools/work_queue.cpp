#include "work_queue.h"

#include <utility>

namespace cli {

bool work_queue::start(unsigned threads) {
    std::lock_guard<std::mutex> hold(m_);
    if (running_)
        return true;
    stopping_ = false;
    for (unsigned i = 0; i < (threads ? threads : 1); i++) {
        try {
            workers_.emplace_back([this] { work(); });
        } catch (...) {
            break; // fewer workers than asked still run every job
        }
    }
    running_ = !workers_.empty();
    return running_;
}

bool work_queue::post(job j) {
    {
        std::lock_guard<std::mutex> hold(m_);
        if (!running_ || stopping_ || queue_.size() >= max_queued_)
            return false;
        try {
            queue_.push_back(std::move(j));
        } catch (...) {
            return false;
        }
    }
    cv_.notify_one();
    return true;
}

void work_queue::stop() {
    std::vector<std::thread> ending;
    {
        std::lock_guard<std::mutex> hold(m_);
        if (!running_)
            return;
        stopping_ = true;
        ending.swap(workers_);
    }
    cv_.notify_all();
    for (std::thread &t : ending)
        t.join();
    std::lock_guard<std::mutex> hold(m_);
    running_ = false;
}

void work_queue::work() {
    for (;;) {
        job j;
        bool dropped;
        {
            std::unique_lock<std::mutex> hold(m_);
            cv_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty())
                return;
            j = std::move(queue_.front());
            queue_.pop_front();
            dropped = stopping_;
        }
        try {
            j(dropped);
        } catch (...) { // a job answers its own failures; nothing is left to tell here
        }
    }
}

} // namespace cli
