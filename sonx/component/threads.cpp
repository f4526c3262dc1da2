#include "sonx/component/threads.h"
#include "sonx/component/status.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>

namespace sonx {

namespace {
template <class T, class... Args> std::shared_ptr<T> makeCell(Args&&... args) {
    try {
        return std::make_shared<T>(std::forward<Args>(args)...);
    } catch (const std::bad_alloc&) {
        throw OutOfMemory::instance();
    }
}
}  // namespace

struct Mutex::State {
    std::mutex mutex;
};

Mutex::Mutex() : state_(makeCell<State>()) {}
void Mutex::lock() { state_->mutex.lock(); }
void Mutex::unlock() { state_->mutex.unlock(); }

struct Event::State {
    std::mutex mutex;
    std::condition_variable signalled;
    bool set = false;
    bool manualReset = false;
};

Event::Event(bool manualReset) : state_(makeCell<State>()) { state_->manualReset = manualReset; }

void Event::set() {
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        state_->set = true;
    }
    if (state_->manualReset)
        state_->signalled.notify_all();
    else
        state_->signalled.notify_one();
}

void Event::reset() {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->set = false;
}

void Event::wait() {
    std::unique_lock<std::mutex> guard(state_->mutex);
    state_->signalled.wait(guard, [this] { return state_->set; });
    if (!state_->manualReset) state_->set = false;
}

bool Event::wait(WaitTime limit) {
    if (limit.seconds < 0 || limit.microseconds < 0) failWith(SONX_ERR_INVALID, "Wait on condition object failed!");
    const auto ms = std::chrono::milliseconds(int64_t{limit.seconds} * 1000 + limit.microseconds / 1000);
    std::unique_lock<std::mutex> guard(state_->mutex);
    if (!state_->signalled.wait_for(guard, ms, [this] { return state_->set; })) return false;
    if (!state_->manualReset) state_->set = false;
    return true;
}

struct ThreadedObject::Shared {
    Mutex lock;
    Event stopEvent;
    bool running = false;
    bool stopping = false;
    Event finished;
    int32_t copies = 1;
    std::thread thread;
    std::thread::id worker;  // stays set after a detach, so a second stop from the worker is recognised
};

ThreadedObject::ThreadedObject() : shared_(makeCell<Shared>()) {}

ThreadedObject::ThreadedObject(const ThreadedObject& other) : shared_(other.shared_) {
    ScopedLock guard(shared_->lock);
    ++shared_->copies;
}

ThreadedObject::~ThreadedObject() {
    ScopedLock guard(shared_->lock);
    if (--shared_->copies != 0) return;
    guard.unlock();
    stopThread();
}

Event ThreadedObject::finishedEvent() const { return shared_->finished; }

void ThreadedObject::start() {
    ScopedLock guard(shared_->lock);
    if (shared_->running) return;
    shared_->stopEvent.reset();
    shared_->finished.reset();
    // A previous thread has finished its work; collect it before reuse.
    if (shared_->thread.joinable()) {
        if (shared_->thread.get_id() == std::this_thread::get_id())
            shared_->thread.detach();
        else
            shared_->thread.join();
    }
    shared_->running = true;
    try {
        shared_->thread = std::thread(&ThreadedObject::threadEntry, this, shared_);
        shared_->worker = shared_->thread.get_id();
    } catch (const std::system_error&) {
        shared_->running = false;
        throw OutOfMemory::instance();
    }
}

void ThreadedObject::threadEntry(ThreadedObject* self, std::shared_ptr<Shared> shared) {
    self->run();
    // `self` may be gone by now (run may have released the last reference);
    // only the shared cells are touched from here on.
    ScopedLock guard(shared->lock);
    shared->running = false;
    shared->stopping = false;
    shared->finished.set();
}

void ThreadedObject::stopThread() {
    Shared& s = *shared_;
    ScopedLock guard(s.lock);
    const bool onOwnThread = s.running && s.worker == std::this_thread::get_id();
    if (onOwnThread) {
        // Destroyed from inside run(): the thread cannot wait for itself.
        if (s.thread.joinable()) s.thread.detach();
        return;
    }
    if (s.running && !s.stopping) {
        s.stopping = true;
        s.stopEvent.set();
        guard.unlock();
        s.finished.wait();
        guard.lock();
    } else {
        s.finished.reset();
    }
    if (s.thread.joinable()) {
        guard.unlock();
        s.thread.join();
    }
}

bool ThreadedObject::keepRunning() { return !shared_->stopEvent.wait(WaitTime{0, 10000}); }

}  // namespace sonx
