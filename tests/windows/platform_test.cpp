// The Win32 backend of the platform layer, under Wine: what the shared code relies on
// from each service.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "process/process.h"
#include "scheduler/scheduler.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/https.h"
#include "platform/net.h"
#include "platform/secrets.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "transport/transport.h"

namespace {

std::string TempDirectory() {
  char path[kPathSize];
  EXPECT_EQ(PlatformMakeTemporaryDirectory("pwt-test-", path, sizeof path), 0);
  return path;
}

void CollectName(const char* name, void* names) { *static_cast<std::string*>(names) += std::string(name) + ";"; }

TEST(Win32Backend, ModuleDirectoryIsTheProgramPathCutAtItsLastBackslash) {
  char path[kPathSize];
  ASSERT_EQ(PlatformModulePath(path, sizeof path), 0);
  EXPECT_EQ(std::string(ModuleDirectory) + "\\wine_tests.exe", path);
}

TEST(Win32Backend, FilesAppendShareReadingAndListInNameOrder) {
  std::string dir = TempDirectory();
  std::string log = dir + "\\b.txt";
  EXPECT_EQ(PlatformCreateDirectory(dir.c_str()), -1);
  EXPECT_EQ(PlatformFileExists(log.c_str()), 0);
  uint64_t time = 0;
  EXPECT_EQ(PlatformFileLastWriteTime(log.c_str(), &time), -1);
  for (const char* line : {"one\r\n", "two\r\n"}) {
    intptr_t file = PlatformOpenForAppend(log.c_str());
    ASSERT_GE(file, 0);
    EXPECT_EQ(PlatformOpenForAppend(log.c_str()), -1);  // readers only while it is open
    char* content = nullptr;
    EXPECT_GE(PlatformReadWholeFile(log.c_str(), &content), 0);
    PlatformFree(content);
    EXPECT_EQ(PlatformWriteFile(file, line, strlen(line)), 5);
    PlatformCloseFile(file);
  }
  char* content = nullptr;
  ASSERT_EQ(PlatformReadWholeFile(log.c_str(), &content), 10);
  EXPECT_STREQ(content, "one\r\ntwo\r\n");
  PlatformFree(content);
  ASSERT_EQ(PlatformFileLastWriteTime(log.c_str(), &time), 0);
  EXPECT_GT(time, 132000000000000000ULL);  // after 2019, in 100 ns since 1601
  EXPECT_EQ(PlatformRenameFile(log.c_str(), (dir + "\\c.txt").c_str()), 0);
  EXPECT_EQ(PlatformCreateDirectory((dir + "\\a").c_str()), 0);
  EXPECT_EQ(PlatformOpenForAppend((dir + "\\B.txt").c_str()) >= 0, true);
  std::string names;
  EXPECT_EQ(PlatformListFiles(dir.c_str(), CollectName, &names), 2);
  EXPECT_EQ(names, "B.txt;c.txt;");
  EXPECT_EQ(PlatformDeleteFile((dir + "\\c.txt").c_str()), 0);
  EXPECT_EQ(PlatformFileExists((dir + "\\c.txt").c_str()), 0);
}

void SetAfterAMoment(void* event) {
  PlatformSleep(50);
  PlatformSetEvent(static_cast<PlatformEvent*>(event));
}

TEST(Win32Backend, EventsStaySetUntilResetAndWakeWaitersOnOtherThreads) {
  PlatformEvent* event = PlatformCreateEvent(false);
  EXPECT_EQ(PlatformWaitEvent(event, 20), 0);
  uint32_t started = PlatformTickCount();
  PlatformThread* thread = PlatformStartThread(SetAfterAMoment, event);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(PlatformWaitEvent(event, 5000), 1);
  EXPECT_GE(PlatformTickCount() - started, 40u);
  PlatformJoinThread(thread);
  EXPECT_EQ(PlatformWaitEvent(event, 0), 1);
  PlatformResetEvent(event);
  EXPECT_EQ(PlatformWaitEvent(event, 0), 0);
  PlatformDestroyEvent(event);
  std::atomic<int32_t> flag{0};
  EXPECT_EQ(PlatformAtomicExchange(&flag, 1), 0);
  EXPECT_EQ(PlatformAtomicExchange(&flag, 0), 1);
}

TEST(Win32Backend, NamedEventIsCreatedSetAndFoundByOtherHandles) {
  std::string name = "Postwain backend test " + std::to_string(PlatformTickCount());
  int failure = 0;
  EXPECT_EQ(PlatformOpenNamedEvent(name.c_str(), &failure), nullptr);
  EXPECT_EQ(failure, kPlatformMissing);
  PlatformNamedEvent* owner = PlatformCreateNamedEvent(name.c_str());
  ASSERT_NE(owner, nullptr);
  EXPECT_EQ(PlatformWaitNamedEvent(owner, 0), 1);
  PlatformResetNamedEvent(owner);
  EXPECT_EQ(PlatformWaitNamedEvent(owner, 20), 0);
  PlatformNamedEvent* other = PlatformOpenNamedEvent(name.c_str(), &failure);
  ASSERT_NE(other, nullptr);
  PlatformSetNamedEvent(other);
  PlatformCloseNamedEvent(other);
  EXPECT_EQ(PlatformWaitNamedEvent(owner, 0), 1);
  PlatformCloseNamedEvent(owner);
  EXPECT_EQ(PlatformOpenNamedEvent(name.c_str(), &failure), nullptr);
}

TEST(Win32Backend, InstanceLockIsHeldUntilReleasedAndAskedAboutWithoutTakingIt) {
  std::string path = TempDirectory() + "\\postwain.lock";
  EXPECT_EQ(PlatformFileIsLocked(path.c_str()), 0) << "no file yet";
  intptr_t lock = PlatformLockFile(path.c_str());
  ASSERT_GE(lock, 0);
  EXPECT_EQ(PlatformLockFile(path.c_str()), kPlatformHeld);
  EXPECT_EQ(PlatformFileIsLocked(path.c_str()), 1);
  PlatformUnlockFile(lock);
  EXPECT_EQ(PlatformFileIsLocked(path.c_str()), 0);
  lock = PlatformLockFile(path.c_str());
  EXPECT_GE(lock, 0);
  PlatformUnlockFile(lock);
}

TEST(Win32Backend, ClockAndUserFormats) {
  LocalTime now{};
  PlatformLocalTime(&now);
  EXPECT_GE(now.year, 2024);
  EXPECT_TRUE(now.weekday >= 0 && now.weekday <= 6);
  LocalTime day{2026, 12, 4, 15, 7, 9, 5};
  char text[100];
  PlatformFormatDate(day, text, sizeof text);
  EXPECT_NE(strstr(text, "2026"), nullptr) << text;
  PlatformFormatTime(day, text, sizeof text);
  EXPECT_NE(strstr(text, "07"), nullptr) << text;
  PlatformFormatDate(day, text, 4);  // too small: left empty
  EXPECT_STREQ(text, "");
}

void SendBlock(void* stream) {
  std::string block(3000000, 'x');
  PlatformSendStream(*static_cast<intptr_t*>(stream), block.data(), block.size());
}

// Loopback connections through the notification window: connect, data both ways (more
// than the pending data may hold, so reading pauses and resumes), the close of either
// side, a refused connect.
TEST(Win32Backend, NotifierCarriesLoopbackConnections) {
  ASSERT_EQ(TransportStartUp(), 0);
  uint16_t port = 0;
  intptr_t listener = PlatformListenOnLoopback(&port);
  ASSERT_GE(listener, 0);
  Connection connection = OpenConnection("127.0.0.1", port, nullptr, nullptr, 5);
  ASSERT_NE(connection, kNoConnection);
  intptr_t server = PlatformAcceptStream(listener, 5000);
  ASSERT_GE(server, 0);
  PlatformThread* sender = PlatformStartThread(SendBlock, &server);
  PlatformSleep(500);  // the pending data fills to its limit, and reading pauses
  size_t received = 0;
  char buffer[4096];
  for (int n; received < 3000000 && (n = ReceiveData(connection, buffer, sizeof buffer, 5)) > 0;) {
    received += static_cast<size_t>(n);
  }
  EXPECT_EQ(received, 3000000u);
  PlatformJoinThread(sender);
  EXPECT_EQ(SendData(connection, "QUIT\r\n", 6, 5), 6);
  EXPECT_EQ(PlatformReceiveStream(server, buffer, sizeof buffer, 5000), 6);
  CloseConnection(connection);
  EXPECT_EQ(PlatformReceiveStream(server, buffer, sizeof buffer, 5000), 0);
  PlatformCloseStream(server);
  connection = OpenConnection("127.0.0.1", port, nullptr, nullptr, 5);
  PlatformCloseStream(PlatformAcceptStream(listener, 5000));
  uint32_t started = PlatformTickCount();
  EXPECT_EQ(ReceiveData(connection, buffer, sizeof buffer, 5), 0);
  EXPECT_LT(PlatformTickCount() - started, 1000u) << "the peer's close ends the wait at once";
  CloseConnection(connection);
  PlatformCloseStream(listener);
  EXPECT_EQ(OpenConnection("127.0.0.1", port, nullptr, nullptr, 5), kNoConnection);
  TransportShutdown();
}

// Tools written to the documented interface open the check event by its name alone.
TEST(Win32Backend, TheCheckEventHasTheDocumentedName) {
  char name[kPathSize];
  SchedulerEventName(name, sizeof name);
  EXPECT_STREQ(name, "Postwain Mail Check Scheduler");
}

}  // namespace

TEST(Win32Backend, SecretFilesAreSealedByDpapiAndOpenForTheSameUser) {
  std::string path = TempDirectory() + "\\oauth.txt";
  char* read = nullptr;
  EXPECT_EQ(PlatformReadSecretFile(path.c_str(), &read), kPlatformMissing);
  ASSERT_EQ(PlatformWriteSecretFile(path.c_str(), "RefreshToken: rt-1\n", 17), 0);
  ASSERT_EQ(PlatformWriteSecretFile(path.c_str(), "RefreshToken: rt-2\n", 19), 0);
  char* raw = nullptr;
  ASSERT_GT(PlatformReadWholeFile(path.c_str(), &raw), 0);
  EXPECT_EQ(strstr(raw, "rt-2"), nullptr);  // what lies on the disk is DPAPI's blob
  EXPECT_EQ(PlatformReadSecretFile(path.c_str(), &read), 19);
  EXPECT_STREQ(read, "RefreshToken: rt-2\n");
  EXPECT_EQ(PlatformFileExists((path + ".new").c_str()), 0);
  PlatformFree(raw);
  PlatformFree(read);
}

TEST(Win32Backend, DigestAndRandomBytesOfBcrypt) {
  uint8_t digest[kSha256Size];
  ASSERT_EQ(PlatformSha256("abc", 3, digest), 0);
  EXPECT_EQ(digest[0], 0xba);
  EXPECT_EQ(digest[31], 0xad);
  uint8_t first[16] = {}, second[16] = {};
  ASSERT_EQ(PlatformRandomBytes(first, sizeof first), 0);
  ASSERT_EQ(PlatformRandomBytes(second, sizeof second), 0);
  EXPECT_NE(memcmp(first, second, sizeof first), 0);
}

TEST(Win32Backend, WinHttpTakesHttpsAloneAndSaysWhyNoAnswerCame) {
  char body[64], reason[kHttpsReasonSize];
  size_t length = 0;
  HttpsRequest plain{"http://127.0.0.1:1/token", "a=1", 5, nullptr};
  EXPECT_EQ(PlatformHttpsRequest(plain, body, sizeof body, &length, reason), -1);
  EXPECT_STREQ(reason, "not an https:// address");
  uint16_t port = 0;
  intptr_t listener = PlatformListenOnLoopback(&port);
  ASSERT_GE(listener, 0);
  std::string url = "https://127.0.0.1:" + std::to_string(port) + "/token";
  std::thread server([&] {  // speaks no TLS: the handshake fails
    intptr_t stream = PlatformAcceptStream(listener, 10000);
    if (stream >= 0) PlatformSendStream(stream, "HTTP/1.1 200 OK\r\n\r\n", 19);
    if (stream >= 0) PlatformCloseStream(stream);
  });
  HttpsRequest request{url.c_str(), "a=1", 5, nullptr};
  EXPECT_EQ(PlatformHttpsRequest(request, body, sizeof body, &length, reason), -1);
  EXPECT_NE(reason[0], '\0');
  server.join();
  PlatformCloseStream(listener);
}
