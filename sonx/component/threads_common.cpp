// The parts of the threading layer that do not depend on how threads are
// made: native builds pair this with threads.cpp, builds without threads
// with their own stand-in for it.
#include "sonx/component/threads.h"

namespace sonx {

OutOfMemory* OutOfMemory::instance() {
    static OutOfMemory shared;
    return &shared;
}

ScopedLock::ScopedLock(Mutex& mutex, bool take) : mutex_(&mutex) {
    if (take) lock();
}
ScopedLock::~ScopedLock() { unlock(); }
void ScopedLock::lock() {
    if (held_) return;
    mutex_->lock();
    held_ = true;
}
void ScopedLock::unlock() {
    if (!held_) return;
    held_ = false;
    mutex_->unlock();
}

void ThreadedObject::run() {
    onStart();
    if (keepRunning()) {
        do {
            onIteration();
        } while (keepRunning());
    }
    onStop();
}

}  // namespace sonx
