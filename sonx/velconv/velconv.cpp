#include "sonx/velconv/velconv.h"

#include <iostream>

namespace sonx::velconv {

// Placeholder until the front end lands.
int runVelconv(int, char**) {
    std::cerr << "velconv: not built yet" << std::endl;
    return -1;
}

}  // namespace sonx::velconv
