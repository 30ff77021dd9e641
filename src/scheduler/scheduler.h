// The mail check scheduler: the thread that decides when a mail check runs.
#pragma once

// Creates the wake-up event and starts the scheduler thread; returns once it runs.
int StartScheduler();
// Stops the scheduler thread and waits for it to end. Returns 0.
int StopScheduler();
