#include "velconv/velconv.h"

int main(int argc, char** argv) { return sonx::velconv::runVelconv(argc, argv); }
