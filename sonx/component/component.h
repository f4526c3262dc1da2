// Shared machinery of every component: reference count under the object
// lock, and the error text behind ISonxError.
#ifndef SONX_COMPONENT_COMPONENT_H
#define SONX_COMPONENT_COMPONENT_H

#include <cstdint>
#include <string>

#include "sonx/component/status.h"
#include "sonx/component/threads.h"
#include "sonx/sonx.h"

namespace sonx {

// A component class derives from its interfaces and from ComponentBase, and
// forwards AddRef/Release to addRef/release. release() deletes the object
// through the virtual destructor when the count reaches zero.
class ComponentBase {
public:
    ComponentBase() = default;
    ComponentBase(const ComponentBase&) = delete;
    ComponentBase& operator=(const ComponentBase&) = delete;
    virtual ~ComponentBase() = default;

    int32_t refCount();

protected:
    int32_t addRef();
    int32_t release();

    void clearError() {
        errorText_.clear();
        errorStatus_ = SONX_OK;
    }
    void setError(std::string text, int32_t status = SONX_ERR_FAILED) {
        errorText_ = std::move(text);
        errorStatus_ = errorText_.empty() ? SONX_OK : status;
    }
    uint8_t errorSet() const { return errorText_.empty() ? 0 : 1; }
    const char* errorCString() const { return errorText_.c_str(); }
    int32_t errorStatus() const { return errorStatus_; }

private:
    Mutex lock_;
    int32_t refCount_ = 0;
    std::string errorText_;
    int32_t errorStatus_ = SONX_OK;
};

// Factories of the registered classes (defined next to each class).
// They return the object's ISonxUnknown with a count of 0, or null.
ISonxUnknown* newSonxFile();
ISonxUnknown* newMuLawCodec();
ISonxUnknown* newQcelpCodec(bool secondForm);

}  // namespace sonx

#endif  // SONX_COMPONENT_COMPONENT_H
