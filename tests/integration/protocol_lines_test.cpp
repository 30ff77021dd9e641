// ReadLine, SendCommand and the byte-exact stop at a line's end, over a real connection.
#include <gtest/gtest.h>

#include <string>

#include "protocol/protocol.h"
#include "scripted_server.h"
#include "transport/transport.h"

namespace {

class LineLayer : public testing::Test {
 protected:
  int Connect() {
    server.Start();
    connection = OpenConnection("127.0.0.1", server.Port(), nullptr, nullptr, 5);
    return connection;
  }
  void TearDown() override {
    if (connection != kNoConnection) CloseConnection(connection);
  }
  std::string NextLine() {
    char* line = ReadLine(connection);
    return line != nullptr ? std::string(line) : std::string("(none)");
  }

  DialogueEnvironment environment{1};
  ScriptedServer server;
  int connection = kNoConnection;
};

TEST_F(LineLayer, LinesEndAtLineFeedOrAtTheByteAfterACarriageReturn) {
  server.Send("+OK 2 320\r\n").Send("abc\rdef\r\n").Send("x\r\r\n").Send("\n").Send("+OK 5 octets\r\nHello");
  ASSERT_NE(Connect(), kNoConnection);
  EXPECT_EQ(NextLine(), "+OK 2 320\r\n");
  EXPECT_EQ(NextLine(), "abc\rd");
  EXPECT_EQ(NextLine(), "ef\r\n");
  EXPECT_EQ(NextLine(), "x\r\r\n");
  EXPECT_EQ(NextLine(), "\n");
  EXPECT_EQ(NextLine(), "+OK 5 octets\r\n");
  // What follows the line is left for the bulk reader.
  char data[16] = {};
  EXPECT_EQ(ReceiveData(connection, data, sizeof data, 1), 5);
  EXPECT_EQ(std::string(data), "Hello");
  // Nothing more within TimeOut, and a line cut off by silence, give no line.
  EXPECT_EQ(ReadLine(connection), nullptr);
  EXPECT_TRUE(server.Done());
}

TEST_F(LineLayer, ALineLongerThanTheReplyBufferIsRefused) {
  std::string longest(kMaxReplyLineLength - 1, 'a');
  server.Send(longest + "\n").Send(std::string(kMaxReplyLineLength, 'b') + "Xrest\r\n");
  ASSERT_NE(Connect(), kNoConnection);
  char* line = ReadLine(connection);
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(std::string(line).size(), kMaxReplyLineLength);
  EXPECT_EQ(ReadLine(connection), nullptr);
  // The byte that did not fit is taken and dropped; the rest stays in the connection.
  EXPECT_EQ(NextLine(), "rest\r\n");
}

TEST_F(LineLayer, CommandsGetCrLfUnlessTheyEndInALineFeedAndMustFitTheLine) {
  std::string fits(kCommandLineSize - 3, 'f');
  std::string tooLong(kCommandLineSize - 2, 't');
  std::string withLineFeed(kCommandLineSize - 2, 'l');
  withLineFeed += '\n';
  server.Expect("QUIT").ExpectPrefix("DATA\n").Expect(fits).ExpectPrefix("lll").Expect("").Expect("END");
  ASSERT_NE(Connect(), kNoConnection);
  EXPECT_EQ(SendCommand(connection, "QUIT"), 6);
  EXPECT_EQ(SendCommand(connection, "DATA\n"), 5);
  EXPECT_EQ(SendCommand(connection, fits.c_str()), static_cast<int>(kCommandLineSize - 1));
  EXPECT_EQ(SendCommand(connection, tooLong.c_str()), -1);
  EXPECT_EQ(SendCommand(connection, withLineFeed.c_str()), static_cast<int>(kCommandLineSize - 1));
  EXPECT_EQ(SendCommand(connection, ""), 2);
  EXPECT_EQ(SendCommand(connection, "END"), 5);
  EXPECT_TRUE(server.Done());
  EXPECT_EQ(server.Lines()[1], "DATA\n");
  EXPECT_EQ(server.Lines()[3], withLineFeed);
  EXPECT_EQ(server.Received().find('t'), std::string::npos);
}

TEST_F(LineLayer, NoConnectionIsNeverTouched) {
  EXPECT_EQ(ReadLine(kNoConnection), nullptr);
  EXPECT_EQ(SendCommand(kNoConnection, "QUIT"), -1);
  EXPECT_EQ(DrainInput(kNoConnection), 0);
}

}  // namespace
