#include "sonx/component/component.h"

namespace sonx {

// Not registered yet.
ISonxUnknown* newMuLawCodec() { return nullptr; }

}  // namespace sonx
