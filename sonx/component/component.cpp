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

void formatGuid(const Guid& guid, char text[39]) {
    static constexpr int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    char* p = text;
    *p++ = '{';
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) *p++ = '-';
        std::snprintf(p, 3, "%02X", guid.bytes[order[i]]);
        p += 2;
    }
    *p++ = '}';
    *p = '\0';
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
