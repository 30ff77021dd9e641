#include <gtest/gtest.h>

// Each test that starts a scheduler does so in a temporary instance directory of its own,
// so its event is its own too: test runs side by side (and a Postwain running on this
// machine) never take each other's requests.
int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
