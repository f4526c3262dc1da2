#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "sonx/component/threads.h"

namespace sonx {
namespace {

TEST(Event, AutoResetConsumesOneSignal) {
    Event e;
    EXPECT_FALSE(e.wait(WaitTime{0, 0}));
    e.set();
    EXPECT_TRUE(e.wait(WaitTime{0, 0}));
    EXPECT_FALSE(e.wait(WaitTime{0, 0}));  // consumed
    e.set();
    e.reset();
    EXPECT_FALSE(e.wait(WaitTime{0, 10000}));
}

TEST(Event, CopiesShareTheSignal) {
    Event a;
    Event b = a;
    a.set();
    EXPECT_TRUE(b.wait(WaitTime{0, 0}));
    EXPECT_FALSE(a.wait(WaitTime{0, 0}));
}

TEST(Event, TimedWaitDropsMicrosecondsBelowOneMillisecond) {
    Event e;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(e.wait(WaitTime{0, 10999}));
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(elapsed, std::chrono::milliseconds(10));
}

// Blocks in run() until released, so the test controls when the thread ends.
class GatedThread : public ThreadedObject {
public:
    ~GatedThread() override { stopThread(); }
    Event gate;
    Event entered;
    std::atomic<int> runs{0};

protected:
    void run() override {
        ++runs;
        entered.set();
        gate.wait();
    }
};

TEST(ThreadedObject, SecondStartWhileRunningStartsNothing) {
    GatedThread t;
    Event finished = t.finishedEvent();
    t.start();
    t.entered.wait();
    t.start();
    t.gate.set();
    finished.wait();
    EXPECT_EQ(t.runs.load(), 1);

    t.start();  // idle again: a new thread runs
    t.entered.wait();
    t.gate.set();
    finished.wait();
    EXPECT_EQ(t.runs.load(), 2);
}

class LoopingThread : public ThreadedObject {
public:
    explicit LoopingThread(std::atomic<int>& stops) : stops_(stops) {}
    ~LoopingThread() override { stopThread(); }
    Event iterated;

protected:
    void onIteration() override { iterated.set(); }
    void onStop() override { ++stops_; }

private:
    std::atomic<int>& stops_;
};

TEST(ThreadedObject, DestroyWhileLoopRunsStopsIt) {
    std::atomic<int> stops{0};
    auto t = std::make_unique<LoopingThread>(stops);
    t->start();
    t->iterated.wait();
    EXPECT_EQ(stops.load(), 0);
    t.reset();  // asks the loop to stop and returns once it has finished
    EXPECT_EQ(stops.load(), 1);
}

TEST(ThreadedObject, DestroyAfterThreadEndedDoesNotWait) {
    GatedThread t;
    Event finished = t.finishedEvent();
    t.start();
    t.entered.wait();
    t.gate.set();
    finished.wait();
    // The object goes out of scope here; a hang would fail the test by timeout.
}

TEST(ScopedLock, TakingTwiceAndReleasingTwiceAreHarmless) {
    Mutex m;
    {
        ScopedLock lock(m);
        lock.lock();
        lock.unlock();
        lock.unlock();
        lock.lock();
    }
    m.lock();  // free again after the scope
    m.unlock();
}

}  // namespace
}  // namespace sonx
