// Child commands: /bin/sh -c in a process group of its own, so that a time-out ends
// whatever the command started too.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/backend.h"
#include "platform/process.h"

extern char** environ;

namespace {

constexpr int kPollSliceMs = 100;

int64_t MonotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The program may hold SIGINT and SIGTERM for its stop request, and such a mask is
// inherited: the child gets the ordinary signals back, and none of the program's files.
pid_t StartShell(const char* command, int output) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, ordinary;
  sigemptyset(&none);
  sigemptyset(&ordinary);
  sigaddset(&ordinary, SIGINT);
  sigaddset(&ordinary, SIGTERM);
  sigaddset(&ordinary, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &ordinary);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  char shell[] = "sh", option[] = "-c";
  char* arguments[] = {shell, option, const_cast<char*>(command), nullptr};
  pid_t child = -1;
  if (posix_spawn(&child, "/bin/sh", &actions, &attributes, arguments, environ) != 0) child = -1;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return child;
}

bool TimeIsUp(int64_t deadline, bool (*giveUp)()) {
  return MonotonicMs() >= deadline || (giveUp != nullptr && giveUp());
}

// Reads the output until the command closes it. Returns false when the wait ended first.
bool ReadOutput(int input, int64_t deadline, bool (*giveUp)(), CommandFirstLine* line) {
  while (!TimeIsUp(deadline, giveUp)) {
    pollfd ready = {input, POLLIN, 0};
    if (poll(&ready, 1, kPollSliceMs) <= 0) continue;
    char piece[512];
    ssize_t got = read(input, piece, sizeof piece);
    if (got > 0) {
      AddToFirstLine(line, piece, static_cast<size_t>(got));
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
      return true;
    }
  }
  return false;
}

// Waits for the child to end. Returns its status word, or -1 when the wait ended first.
int AwaitExit(pid_t child, int64_t deadline, bool (*giveUp)()) {
  for (;;) {
    int status = 0;
    pid_t ended = waitpid(child, &status, WNOHANG);
    if (ended == child) return status;
    if (ended < 0 && errno != EINTR) return -1;
    if (TimeIsUp(deadline, giveUp)) return -1;
    usleep(10000);
  }
}

}  // namespace

int PlatformRunCommand(const char* command, uint32_t milliseconds, bool (*giveUp)(), char* firstLine, size_t size) {
  CommandFirstLine line = {firstLine, size, 0, false};
  AddToFirstLine(&line, "", 0);
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) return kCommandNotStarted;
  pid_t child = StartShell(command, pipeEnds[1]);
  close(pipeEnds[1]);
  if (child < 0) {
    close(pipeEnds[0]);
    return kCommandNotStarted;
  }
  int64_t deadline = MonotonicMs() + milliseconds;
  bool read = ReadOutput(pipeEnds[0], deadline, giveUp, &line);
  close(pipeEnds[0]);
  int status = read ? AwaitExit(child, deadline, giveUp) : -1;
  if (status == -1) {
    kill(-child, SIGKILL);
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return kCommandTimedOut;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : kCommandKilled;
}
