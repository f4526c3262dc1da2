// Mutex, auto-reset event, scoped lock and a base class owning one worker
// thread. Handles are shared by copies; the last copy releases them.
#ifndef SONX_COMPONENT_THREADS_H
#define SONX_COMPONENT_THREADS_H

#include <cstdint>
#include <memory>
#include <thread>

namespace sonx {

// Thrown (by pointer to one shared instance) when a synchronisation object,
// a thread or a heap cell cannot be created.
class OutOfMemory {
public:
    static OutOfMemory* instance();
};

class Mutex {
public:
    Mutex();
    void lock();
    void unlock();

private:
    struct State;
    std::shared_ptr<State> state_;
};

class ScopedLock {
public:
    explicit ScopedLock(Mutex& mutex, bool take = true);
    ~ScopedLock();
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;
    void lock();    // no-op when already held
    void unlock();  // no-op when not held

private:
    Mutex* mutex_;
    bool held_ = false;
};

// Time limit of a timed wait: seconds * 1000 + microseconds / 1000 ms.
struct WaitTime {
    int32_t seconds = 0;
    int32_t microseconds = 0;
};

class Event {
public:
    explicit Event(bool manualReset = false);
    void set();
    void reset();
    void wait();
    // True when signalled, false when the time ran out.
    bool wait(WaitTime limit);

private:
    struct State;
    std::shared_ptr<State> state_;
};

// Owns one worker thread. Copies share the thread and its flags; the last
// copy to be destroyed asks the thread to stop and waits for it to finish.
class ThreadedObject {
public:
    ThreadedObject();
    ThreadedObject(const ThreadedObject& other);
    ThreadedObject& operator=(const ThreadedObject&) = delete;
    virtual ~ThreadedObject();

    // Starts the thread unless one is running.
    void start();
    // Signalled once each time a thread finishes (auto-reset).
    Event finishedEvent() const;

protected:
    // The thread's work. The default calls onStart, then onIteration while
    // keepRunning, then onStop.
    virtual void run();
    // Waits up to 10 ms for a stop request: true if none came.
    virtual bool keepRunning();
    virtual void onStart() {}
    virtual void onIteration() {}
    virtual void onStop() {}

    // Stops and joins the thread now. A class whose run() uses its own
    // members must call this from its destructor, before they are gone.
    void stopThread();

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    static void threadEntry(ThreadedObject* self, std::shared_ptr<Shared> shared);
};

}  // namespace sonx

#endif  // SONX_COMPONENT_THREADS_H
