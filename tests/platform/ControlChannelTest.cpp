#include "platform/ControlChannel.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "protocol/Grobal2.h"

namespace {

struct SocketPair {
  explicit SocketPair(int type) { EXPECT_EQ(socketpair(AF_UNIX, type, 0, fd), 0); }
  ~SocketPair() {
    for (int f : fd) {
      if (f >= 0) close(f);
    }
  }
  void CloseB() {
    close(fd[1]);
    fd[1] = -1;
  }
  std::vector<uint8_t> Receive(int which) const {
    std::vector<uint8_t> buf(1024);
    const ssize_t n = recv(fd[which], buf.data(), buf.size(), MSG_DONTWAIT);
    buf.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return buf;
  }
  int fd[2] = {-1, -1};
};

TEST(ControlChannelTest, MessageBytesAreWordParameterTextAndZero) {
  SocketPair pair(SOCK_SEQPACKET);
  ASSERT_TRUE(SendControlMessage(pair.fd[0], SG_STARTNOW, ControlIndexWord(0), "abc"));
  // 32002 = 0x7D02 in the high half, 0 + 38 = 0x26 in the low half, little-endian.
  EXPECT_EQ(pair.Receive(1), (std::vector<uint8_t>{0x26, 0x00, 0x02, 0x7D, 'a', 'b', 'c', 0}));

  ASSERT_TRUE(SendControlMessage(pair.fd[0], SG_TAVREL, ControlIndexWord(65500), ""));
  EXPECT_EQ(pair.Receive(1), (std::vector<uint8_t>{0x02, 0x00, 0xEB, 0x03, 0}));

  EXPECT_EQ(ControlIndexWord(0), 38);
  EXPECT_EQ(ControlIndexWord(65497), 65535);
  EXPECT_EQ(ControlIndexWord(65498), 0);
  EXPECT_EQ(ControlIndexWord(-38), 0);

  // No control program: nothing is sent, in particular not to standard input.
  EXPECT_FALSE(SendControlMessage(0, SG_TAVREL, 38, "1"));
  EXPECT_FALSE(SendControlMessage(-1, SG_TAVREL, 38, "1"));
}

TEST(ControlChannelTest, ParsesQuitAndToleratesOddDatagrams) {
  SocketPair pair(SOCK_SEQPACKET);
  const std::vector<uint8_t> quit = BuildControlMessage(GS_QUIT, 38, "bye");
  ASSERT_EQ(send(pair.fd[1], quit.data(), quit.size(), 0), static_cast<ssize_t>(quit.size()));
  TControlReceive got = ReceiveControlMessage(pair.fd[0]);
  ASSERT_EQ(got.status, EControlReceive::Message);
  EXPECT_EQ(got.message.wCode, GS_QUIT);
  EXPECT_EQ(got.message.wIndex, 38);
  EXPECT_EQ(got.message.sText, "bye");

  // Nothing waiting: the owner keeps watching.
  EXPECT_EQ(ReceiveControlMessage(pair.fd[0]).status, EControlReceive::Nothing);

  const uint8_t shortOne[] = {0x65, 0x7D, 0x00};
  EXPECT_FALSE(ParseControlMessage(shortOne).has_value());
  const uint8_t bare[] = {0x00, 0x00, 0x65, 0x7D};  // word only, no text, no zero
  ASSERT_TRUE(ParseControlMessage(bare).has_value());
  EXPECT_EQ(ParseControlMessage(bare)->wCode, GS_QUIT);
  EXPECT_EQ(ParseControlMessage(bare)->sText, "");
  const uint8_t early[] = {0x26, 0x00, 0x65, 0x7D, 'o', 'k', 0, 'x', 'y'};
  EXPECT_EQ(ParseControlMessage(early)->sText, "ok");

  // A seqpacket peer that has gone must stop the owner from watching a descriptor that stays
  // readable for ever.
  pair.CloseB();
  EXPECT_EQ(ReceiveControlMessage(pair.fd[0]).status, EControlReceive::Closed);
}

TEST(ControlChannelTest, DatagramChannelNeverBlocksAndEmptyDatagramIsNotAClose) {
  SocketPair pair(SOCK_DGRAM);
  ASSERT_EQ(send(pair.fd[1], "", 0, 0), 0);
  EXPECT_EQ(ReceiveControlMessage(pair.fd[0]).status, EControlReceive::Nothing);

  // Nobody reads side 1: sends fail once its queue is full instead of blocking the caller.
  bool refused = false;
  for (int i = 0; i < 100000 && !refused; ++i) {
    refused = !SendControlMessage(pair.fd[0], SG_TAVREL, 38, std::string(512, 'x'));
  }
  EXPECT_TRUE(refused);
}

TEST(ControlChannelTest, OnlyUnixDatagramOrSeqpacketSocketsQualify) {
  SocketPair seq(SOCK_SEQPACKET);
  SocketPair dgram(SOCK_DGRAM);
  SocketPair stream(SOCK_STREAM);
  EXPECT_TRUE(IsControlSocket(seq.fd[0]));
  EXPECT_TRUE(IsControlSocket(dgram.fd[0]));
  EXPECT_FALSE(IsControlSocket(stream.fd[0]));
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  EXPECT_FALSE(IsControlSocket(p[0]));
  close(p[0]);
  close(p[1]);
  EXPECT_FALSE(IsControlSocket(0));
  EXPECT_FALSE(IsControlSocket(987654));
  // A datagram socket connected to nobody has no control program behind it.
  const int lone = socket(AF_UNIX, SOCK_DGRAM, 0);
  ASSERT_GE(lone, 0);
  EXPECT_FALSE(IsControlSocket(lone));
  close(lone);
  // Nor does a TCP socket, such as the game-server link.
  const int tcp = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(tcp, 0);
  EXPECT_FALSE(IsControlSocket(tcp));
  close(tcp);
}

}  // namespace
