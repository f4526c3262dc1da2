#include "sonx/component/component.h"

namespace sonx {

// Not registered yet.
ISonxUnknown* newQcelpCodec(bool) { return nullptr; }

}  // namespace sonx
