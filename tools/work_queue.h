// A few threads that run queued jobs, for answers that may wait on the
// service: the gateway's requests and the MediaServer's Browse and Search.
// The threads that take requests (libmicrohttpd's pool, GUPnP's loop) serve
// many connections each, and one of them waiting seconds for a throttled
// listing would hold every other connection it serves, a player's stream
// among them.
#ifndef NIMBUS_TOOLS_WORK_QUEUE_H
#define NIMBUS_TOOLS_WORK_QUEUE_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace cli {

class work_queue {
  public:
    // Runs once, on a worker. DROPPED: the queue was stopped before the job
    // began, which should then answer at once without doing its work.
    using job = std::function<void(bool dropped)>;

    explicit work_queue(size_t max_queued) : max_queued_(max_queued) {}
    ~work_queue() { stop(); }
    work_queue(const work_queue &) = delete;
    work_queue &operator=(const work_queue &) = delete;

    // Starts THREADS workers (at least one); false when not even one could
    // start.
    bool start(unsigned threads);
    // Queues J: false, and J is not run, when MAX_QUEUED jobs already wait,
    // the queue is not running, or there is no memory for it.
    bool post(job j);
    // Takes no new job, runs those still queued as dropped, and returns once
    // every worker has ended. A job under way runs to its end.
    void stop();

  private:
    void work();

    const size_t max_queued_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<job> queue_;
    bool running_ = false, stopping_ = false;
    std::vector<std::thread> workers_;
};

} // namespace cli

#endif
