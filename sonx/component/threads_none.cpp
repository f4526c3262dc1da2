// The threading layer for WebAssembly builds without threads.
//
// Browsers give a page threads (SharedArrayBuffer) only when it is served
// with cross-origin isolation headers, which a page opened from file:// or an
// ordinary static server never has. The page already runs the library in a
// Web Worker, so here a "thread" runs its work to the end inside start(), on
// the caller's stack. Callers see what they see after a real thread has
// finished: the finished event is set, the work's effects are in place.
// A wait that only another thread could end fails instead of hanging.
#include <stdexcept>

#include "sonx/component/threads.h"

namespace sonx {

// With one thread a lock never has to wait; it only needs to exist.
struct Mutex::State {};

Mutex::Mutex() : state_(std::make_shared<State>()) {}
void Mutex::lock() {}
void Mutex::unlock() {}

struct Event::State {
    bool set = false;
    bool manualReset = false;
};

Event::Event(bool manualReset) : state_(std::make_shared<State>()) { state_->manualReset = manualReset; }

void Event::set() { state_->set = true; }
void Event::reset() { state_->set = false; }

void Event::wait() {
    if (!state_->set) throw std::runtime_error("Waiting for an event that no other thread can set");
    if (!state_->manualReset) state_->set = false;
}

bool Event::wait(WaitTime limit) {
    if (limit.seconds < 0 || limit.microseconds < 0) throw std::runtime_error("Wait on condition object failed!");
    if (!state_->set) return false;
    if (!state_->manualReset) state_->set = false;
    return true;
}

struct ThreadedObject::Shared {
    Event stopEvent;
    Event finished;
    bool running = false;
};

ThreadedObject::ThreadedObject() : shared_(std::make_shared<Shared>()) {}
ThreadedObject::ThreadedObject(const ThreadedObject& other) : shared_(other.shared_) {}
ThreadedObject::~ThreadedObject() = default;

Event ThreadedObject::finishedEvent() const { return shared_->finished; }

void ThreadedObject::start() {
    if (shared_->running) return;
    shared_->stopEvent.reset();
    shared_->finished.reset();
    shared_->running = true;
    // run() may give up the last reference to *this.
    threadEntry(this, shared_);
}

void ThreadedObject::threadEntry(ThreadedObject* self, std::shared_ptr<Shared> shared) {
    try {
        self->run();
    } catch (...) {
        shared->running = false;
        shared->finished.set();
        throw;
    }
    shared->running = false;
    shared->finished.set();
}

// Nothing can still be running when another caller gets here; from inside
// run() (the object destroyed by its own work) there is nothing to wait for.
void ThreadedObject::stopThread() {
    if (!shared_->running) shared_->finished.reset();
}

bool ThreadedObject::keepRunning() { return !shared_->stopEvent.wait(WaitTime{0, 0}); }

}  // namespace sonx
