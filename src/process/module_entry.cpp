#include "process/process.h"

// The load-time entry: runs when the library (or a program it is linked into) is loaded.
void OnModuleLoad() { InitModuleDirectory(); }
