// The workers' queue: every job posted runs once, a full queue turns the
// next one away, and a stop lets the job under way finish while those
// still queued run as dropped.
#include "work_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

TEST(WorkQueue, RunsEveryJobOnceOnItsWorkers) {
    cli::work_queue q(100);
    EXPECT_FALSE(q.post([](bool) {})) << "not started";
    ASSERT_TRUE(q.start(4));
    std::atomic<int> ran{0}, dropped{0};
    for (int i = 0; i < 100; i++)
        ASSERT_TRUE(q.post([&](bool d) { (d ? dropped : ran)++; }));
    q.stop();
    EXPECT_EQ(ran + dropped, 100);
    EXPECT_FALSE(q.post([](bool) {})) << "stopped";
}

TEST(WorkQueue, BoundsTheQueueAndDropsWhatWaitsAtTheStop) {
    cli::work_queue q(2);
    ASSERT_TRUE(q.start(1));
    std::mutex m;
    std::condition_variable cv;
    bool begun = false, release = false;
    std::vector<int> order; // a job's number, negative when dropped
    ASSERT_TRUE(q.post([&](bool d) {
        std::unique_lock<std::mutex> hold(m);
        begun = true;
        cv.notify_all();
        cv.wait(hold, [&] { return release; });
        order.push_back(d ? -1 : 1);
    }));
    {
        std::unique_lock<std::mutex> hold(m);
        cv.wait(hold, [&] { return begun; });
    }
    // The worker is busy: two wait, the third is turned away.
    for (int i = 2; i <= 3; i++)
        ASSERT_TRUE(q.post([&, i](bool d) {
            std::lock_guard<std::mutex> hold(m);
            order.push_back(d ? -i : i);
        }));
    EXPECT_FALSE(q.post([](bool) {}));
    // The stop (on this thread, at once) waits for the job under way, let
    // go of a moment later, then drops the two queued.
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::lock_guard<std::mutex> hold(m);
        release = true;
        cv.notify_all();
    });
    q.stop();
    releaser.join();
    EXPECT_EQ(order, (std::vector<int>{1, -2, -3}));
}

} // namespace
