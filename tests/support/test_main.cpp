#include <gtest/gtest.h>

#include <csignal>

// Each test that starts a scheduler does so in a temporary instance directory of its own,
// so its event is its own too: test runs side by side (and a Postwain running on this
// machine) never take each other's requests.
int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // The scripted servers' TLS writes through OpenSSL, which cannot send without SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  return RUN_ALL_TESTS();
}
