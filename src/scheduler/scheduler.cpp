#include "scheduler/scheduler.h"

// Stand-ins until the scheduler thread lands.
int StartScheduler() { return 0; }
int StopScheduler() { return 0; }
