#include "platform/HandoverFds.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <string>

#include "support/TempDir.h"

namespace {

// A descriptor closed by its destructor.
struct TFd {
  explicit TFd(int value = -1) : fd(value) {}
  ~TFd() {
    if (fd >= 0) close(fd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int fd;
};

int Listener(uint16_t& port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return -1;
  port = ntohs(addr.sin_port);
  return fd;
}

int ConnectTo(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  return connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ? fd : -1;
}

TEST(HandoverVariable, NamesEveryDescriptorAndCounterAndReadsBack) {
  THandoverFds fds{3, 4, 5, 6, 81234567890123ull, 2, 1, 7, 45000000, 312, 81234600000000ull};
  const std::string value = FormatHandoverFds(fds);
  EXPECT_EQ(value,
            "ws=3,console=4,link=5,state=6,stop=81234567890123,ok=2,refused=1,failed=7,"
            "pause=45000000,conn=312,exec=81234600000000");
  THandoverFds back;
  std::string why;
  ASSERT_TRUE(ParseHandoverFds(value, back, why)) << why;
  EXPECT_EQ(FormatHandoverFds(back), value);

  // Without a link (it was down) the other fields stand; the counters are optional.
  fds.link = -1;
  ASSERT_TRUE(ParseHandoverFds(FormatHandoverFds(fds), back, why)) << why;
  EXPECT_EQ(back.link, -1);
  ASSERT_TRUE(ParseHandoverFds("state=9,ws=7,console=8,stop=1", back, why)) << why;
  EXPECT_EQ(back.ws, 7);
  EXPECT_EQ(back.state, 9);
  EXPECT_EQ(back.nOk, 0u);
}

TEST(HandoverVariable, AnythingElseIsRefusedWithTheReasonButGoodFieldsAreKept) {
  const std::string base = "ws=3,console=4,state=6,stop=1";
  struct TCase {
    std::string value, why;
  };
  const TCase cases[] = {
      {"", "no ws descriptor"},
      {"ws=3,console=4,stop=1", "no state descriptor"},
      {"ws=3,console=4,state=6", "no stop time"},
      {base + ",link=2", "link=2 names no passed descriptor"},
      {base + ",link=0", "link=0 names no passed descriptor"},
      {base + ",link=2147483648", "link=2147483648 names no passed descriptor"},
      {base + ",link=-5", "field \"link=-5\" is not name=number"},
      {base + ",link=5x", "field \"link=5x\" is not name=number"},
      {base + ",link", "field \"link\" is not name=number"},
      {base + ",link=99999999999999999999999", "is not name=number"},
      {base + ",shell=5", "unknown field \"shell\""},
      {base + ",ws=7", "ws is given twice"},
      {base + ",stop=2", "stop is given twice"},
      {base + ",link=6", "descriptor 6 twice"},
      {base + "," + std::string(300, '1'), "bytes long"},
  };
  for (const TCase& c : cases) {
    THandoverFds fds;
    std::string why;
    EXPECT_FALSE(ParseHandoverFds(c.value, fds, why)) << c.value;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.value << ": " << why;
  }
  // What was well formed is still known, so that it can be closed or used.
  THandoverFds fds;
  std::string why;
  EXPECT_FALSE(ParseHandoverFds("ws=3,console=x,state=6,stop=1", fds, why));
  EXPECT_EQ(fds.ws, 3);
  EXPECT_EQ(fds.state, 6);
  EXPECT_EQ(fds.console, -1);
}

TEST(HandoverVariable, IsTakenOutOfTheEnvironment) {
  ASSERT_EQ(setenv(kHandoverVariable, "ws=3", 1), 0);
  std::string value;
  ASSERT_TRUE(TakeHandoverVariable(value));
  EXPECT_EQ(value, "ws=3");
  EXPECT_EQ(getenv(kHandoverVariable), nullptr);
  EXPECT_FALSE(TakeHandoverVariable(value));
}

TEST(HandoverDescriptors, EachIsUsedOnlyAsWhatItWasSaidToBe) {
  uint16_t port = 0;
  TFd listener(Listener(port));
  ASSERT_GE(listener.fd, 0);
  TFd client(ConnectTo(port));
  ASSERT_GE(client.fd, 0);
  TFd accepted(accept(listener.fd, nullptr, nullptr));
  TFd unconnected(socket(AF_INET6, SOCK_STREAM, 0));
  TFd udp(socket(AF_INET, SOCK_DGRAM, 0));
  TFd local(socket(AF_UNIX, SOCK_STREAM, 0));
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  TFd pipeIn(pipeFds[0]), pipeOut(pipeFds[1]);

  uint16_t got = 0;
  std::string why;
  EXPECT_TRUE(CheckListeningSocket(listener.fd, got, why)) << why;
  EXPECT_EQ(got, port);
  EXPECT_TRUE(CheckConnectedSocket(client.fd, why)) << why;
  EXPECT_TRUE(CheckConnectedSocket(accepted.fd, why)) << why;

  EXPECT_FALSE(CheckListeningSocket(client.fd, got, why));
  EXPECT_NE(why.find("is not a listening socket"), std::string::npos) << why;
  EXPECT_FALSE(CheckConnectedSocket(listener.fd, why));
  EXPECT_NE(why.find("is a listening socket"), std::string::npos) << why;
  EXPECT_FALSE(CheckConnectedSocket(unconnected.fd, why));
  EXPECT_NE(why.find("is not connected"), std::string::npos) << why;
  for (const int fd : {udp.fd, local.fd, pipeIn.fd}) {
    EXPECT_FALSE(CheckListeningSocket(fd, got, why)) << fd;
    EXPECT_NE(why.find("is not a TCP socket"), std::string::npos) << why;
    EXPECT_FALSE(CheckConnectedSocket(fd, why)) << fd;
  }
  const int closed = dup(pipeOut.fd);
  close(closed);
  EXPECT_FALSE(CheckConnectedSocket(closed, why));
  EXPECT_NE(why.find("is not open"), std::string::npos) << why;
}

TEST(HandoverMemfd, TravelsSealedAndOnlyASealedMemfdIsRead) {
  std::string state(100000, '\0');
  for (size_t i = 0; i < state.size(); ++i) state[i] = static_cast<char>(i * 7);
  std::string why;
  TFd memfd(WriteSealedMemfd(state, why));
  ASSERT_GE(memfd.fd, 0) << why;
  EXPECT_NE(fcntl(memfd.fd, F_GETFD) & FD_CLOEXEC, 0) << "close-on-exec until the hand-over";
  // Nobody holding the descriptor can change what the new image reads.
  EXPECT_EQ(write(memfd.fd, "x", 1), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_NE(ftruncate(memfd.fd, 10), 0);
  EXPECT_NE(fcntl(memfd.fd, F_ADD_SEALS, F_SEAL_FUTURE_WRITE), 0);
  {
    TSealedState mapped;
    ASSERT_TRUE(mapped.Map(memfd.fd, kMaxHandoverStateBytes, why)) << why;
    EXPECT_EQ(mapped.Bytes(), state);
  }
  TSealedState small;
  EXPECT_FALSE(small.Map(memfd.fd, state.size() - 1, why));
  EXPECT_NE(why.find("bytes long"), std::string::npos) << why;

  // Unsealed, a plain file, a pipe, an empty state: not a state.
  TFd open(memfd_create("open", MFD_ALLOW_SEALING));
  ASSERT_EQ(write(open.fd, "abc", 3), 3);
  TSealedState any;
  EXPECT_FALSE(any.Map(open.fd, kMaxHandoverStateBytes, why));
  EXPECT_NE(why.find("is not a sealed memfd"), std::string::npos) << why;
  TTempDir dir;
  dir.Write("state", "abc");
  TFd file(::open(dir.File("state").c_str(), O_RDONLY));
  EXPECT_FALSE(any.Map(file.fd, kMaxHandoverStateBytes, why));
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  TFd pipeIn(pipeFds[0]), pipeOut(pipeFds[1]);
  EXPECT_FALSE(any.Map(pipeIn.fd, kMaxHandoverStateBytes, why));
  EXPECT_NE(why.find("is not a memfd"), std::string::npos) << why;
  TFd empty(WriteSealedMemfd("", why));
  ASSERT_GE(empty.fd, 0) << why;
  EXPECT_FALSE(any.Map(empty.fd, kMaxHandoverStateBytes, why));
  EXPECT_TRUE(any.Bytes().empty());
}

bool CloseOnExec(int fd) {
  return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

TEST(HandoverInheritance, ExactlyThePassedCrossAndEverythingComesBack) {
  TFd passed(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  TFd leaky(socket(AF_INET, SOCK_STREAM, 0));  // as Asio opens its sockets
  TFd kept(socket(AF_UNIX, SOCK_DGRAM, 0));
  ASSERT_FALSE(CloseOnExec(leaky.fd));
  const bool stderrFlag = CloseOnExec(STDERR_FILENO);
  {
    const TExecInheritance inheritance({passed.fd}, {kept.fd});
    ASSERT_TRUE(inheritance.Ok()) << inheritance.Why();
    EXPECT_FALSE(CloseOnExec(passed.fd));
    EXPECT_TRUE(CloseOnExec(leaky.fd));
    EXPECT_FALSE(CloseOnExec(kept.fd)) << "the control program's descriptor stays as it is";
    EXPECT_EQ(CloseOnExec(STDERR_FILENO), stderrFlag) << "standard streams stay as they are";
  }
  EXPECT_TRUE(CloseOnExec(passed.fd));
  EXPECT_FALSE(CloseOnExec(leaky.fd));
  EXPECT_FALSE(CloseOnExec(kept.fd));

  TFd gone(dup(passed.fd));
  const int number = gone.fd;
  close(gone.fd);
  gone.fd = -1;
  const TExecInheritance missing({number}, {});
  EXPECT_FALSE(missing.Ok());
  EXPECT_NE(missing.Why().find("to pass is not open"), std::string::npos) << missing.Why();
}

TEST(HandoverExec, AFailedExecveReturnsWhy) {
  TTempDir dir;
  EXPECT_NE(ExecImage(dir.File("gone"), {"gone"}, std::string(kHandoverVariable) + "=ws=3")
                .find("No such file"),
            std::string::npos);
  EXPECT_FALSE(SelfExePath().empty());
  EXPECT_EQ(SelfExePath().front(), '/');
}

TEST(HandoverSignals, OneThatArrivedMeanwhileIsTakenWithoutDelivery) {
  sigset_t before;
  BlockGatewaySignals(before);
  EXPECT_FALSE(TakePendingSignal(SIGUSR2));
  ASSERT_EQ(raise(SIGUSR2), 0);  // blocked: pending, not fatal
  EXPECT_TRUE(TakePendingSignal(SIGUSR2));
  EXPECT_FALSE(TakePendingSignal(SIGUSR2));
  RestoreSignalMask(before);
}

}  // namespace
