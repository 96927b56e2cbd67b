// The test kit's launcher: output lines, stdin, environment, exit status,
// output to a file, a stop that escalates when the signal is ignored, and
// the port helpers.
#include "testkit/Process.h"

#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "support/TempDir.h"

namespace testkit {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> Sh(const std::string& Script) {
  return {"-c", Script};
}

TEST(Process, LinesStdinEnvironmentAndExitStatus) {
  ProcessOptions o;
  o.Env = {"TESTKIT_VALUE=42"};
  Process p("/bin/sh", Sh("echo value=$TESTKIT_VALUE; read l; echo got $l; exit 3"), o);
  EXPECT_GE(p.WaitForLine("value=42", 5s), 0);
  p.WriteLine("hello");
  EXPECT_EQ(p.WaitForLine("got hello", 5s), 1);
  EXPECT_EQ(p.WaitExit(5s), 3);
  EXPECT_EQ(p.WaitForLine("value=", 0ms, 1), -1) << "a line found before From";
}

// A caller that reads the lines right after the exit must see the last
// one, though the reader thread may not have taken it when waitpid reports.
// A child left behind holding the output makes that window wide enough to
// test.
TEST(Process, TheOutputIsReadToItsEndBeforeTheExitIsReported) {
  Process p("/bin/sh", Sh("echo first; (sleep 0.3; echo last) & exit 1"), ".");
  ASSERT_EQ(p.WaitExit(5s), 1);
  EXPECT_EQ(p.Lines(), (std::vector<std::string>{"first", "last"}));
}

TEST(Process, OutputToAFileInItsDirectory) {
  TTempDir dir;
  ProcessOptions o;
  o.Cwd = dir.Path();
  o.OutputFile = dir.File("out.txt");
  Process p("/bin/sh", Sh("echo to-file; echo to-err >&2; pwd"), o);
  ASSERT_EQ(p.WaitExit(5s), 0);
  EXPECT_EQ(dir.Read("out.txt"), "to-file\nto-err\n" + dir.Path() + "\n");
  EXPECT_TRUE(p.Lines().empty());
}

TEST(Process, StopSignalsThenKillsWhatIgnoresIt) {
  Process polite("/bin/sh", Sh("echo up; exec sleep 30"), ".");
  ASSERT_GE(polite.WaitForLine("up", 5s), 0);
  EXPECT_EQ(polite.Stop(SIGTERM, 5s), 128 + SIGTERM);
  Process stubborn("/bin/sh", Sh("trap '' TERM; echo up; while :; do sleep 0.1; done"), ".");
  ASSERT_GE(stubborn.WaitForLine("up", 5s), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(stubborn.Stop(SIGTERM, 300ms), 128 + SIGKILL);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

TEST(Process, PortsFreeAndListening) {
  namespace asio = boost::asio;
  using tcp = asio::ip::tcp;
  Process p("/bin/sh", Sh("exec sleep 30"), ".");
  const uint16_t port = FreePort();
  ASSERT_NE(port, 0);
  EXPECT_FALSE(p.WaitForPort(port, 200ms));
  asio::io_context io;
  tcp::acceptor listening(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
  EXPECT_TRUE(p.WaitForPort(port, 5s));
  EXPECT_GT(ResidentKb(p.Pid()), 0);
  p.Stop(SIGKILL, 5s);
  EXPECT_EQ(ResidentKb(p.Pid()), 0);
}

}  // namespace
}  // namespace testkit
