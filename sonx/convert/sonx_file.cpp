#include "sonx/component/component.h"

namespace sonx {

// Not registered yet.
ISonxUnknown* newSonxFile() { return nullptr; }

}  // namespace sonx
