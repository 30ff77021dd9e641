#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "scheduler/scheduler.h"

int main(int argc, char** argv) {
  // A scheduler event of this test process's own, so that test runs side by side (and a
  // Postwain running on this machine) never take each other's requests. Programs the
  // tests start inherit it.
  std::string eventName = std::string(kSchedulerEventName) + " test " + std::to_string(getpid());
  setenv(kSchedulerEventVariable, eventName.c_str(), 1);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
