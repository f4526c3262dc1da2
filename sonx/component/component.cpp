#include "sonx/component/component.h"

#include <cstdio>
#include <new>

namespace sonx {

int32_t ComponentBase::refCount() {
    ScopedLock guard(lock_);
    return refCount_;
}

int32_t ComponentBase::addRef() {
    ScopedLock guard(lock_);
    return ++refCount_;
}

int32_t ComponentBase::release() {
    ScopedLock guard(lock_);
    if (refCount_-- == 1) {
        guard.unlock();
        delete this;
        return 0;
    }
    return refCount_;
}

int32_t currentStatus() {
    try {
        throw;
    } catch (const StatusError& e) {
        return e.status;
    } catch (const std::bad_alloc&) {
        return SONX_ERR_NO_MEMORY;
    } catch (OutOfMemory*) {
        return SONX_ERR_NO_MEMORY;
    } catch (...) {
        return SONX_ERR_FAILED;
    }
}

namespace {
// The object alone decides which interfaces it answers: the factory holds a
// creation reference across the query and gives it back, so a refused
// interface destroys the object and an answered one leaves the caller's
// reference as the only one.
void* queryNew(ISonxUnknown* object, const Guid& iid) {
    if (!object) return nullptr;
    object->AddRef();
    void* answer = object->QueryInterface(iid);
    object->Release();
    return answer;
}
}  // namespace

void* createInstance(const Guid& clsid, const Guid& iid) {
    try {
        if (clsid == CLSID_SonxFile) return queryNew(newSonxFile(), iid);
        if (clsid == CODEC_QCELP13K || clsid == CODEC_QCELP13K_ALT)
            return queryNew(newQcelpCodec(clsid == CODEC_QCELP13K_ALT), iid);
        if (clsid == CODEC_G711_ULAW) return queryNew(newMuLawCodec(), iid);
    } catch (const std::bad_alloc&) {
    } catch (OutOfMemory*) {
    }
    return nullptr;
}

}  // namespace sonx
