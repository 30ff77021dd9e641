#include "lifecycle/lifecycle.h"

// The load-time entry: runs when the library (or a program it is linked into) is loaded.
__attribute__((constructor)) static void OnModuleLoad() { InitModuleDirectory(); }
