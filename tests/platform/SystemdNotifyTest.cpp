#include "platform/SystemdNotify.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <random>
#include <string>

#include "support/NotifyReceiver.h"
#include "support/TempDir.h"

using namespace std::chrono_literals;

namespace {

// A name in the abstract namespace that no other test run uses.
std::string AbstractName() {
  return "@tavrelh5-notify-" + std::to_string(getpid()) + "-" +
         std::to_string(std::random_device{}());
}

int OpenDescriptors() {
  int count = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++count;
    closedir(d);
  }
  return count;
}

TEST(SystemdNotify, ReachesAPathAndAnAbstractSocket) {
  TTempDir dir;
  TNotifyReceiver path(dir.File("notify"));
  ASSERT_TRUE(path.Bound());
  EXPECT_TRUE(SdNotifyTo(dir.File("notify").c_str(), "READY=1\nSTATUS=0 sessions"));
  EXPECT_EQ(path.Receive(2s), "READY=1\nSTATUS=0 sessions");

  const std::string name = AbstractName();
  TNotifyReceiver abstract(name);
  ASSERT_TRUE(abstract.Bound());
  EXPECT_TRUE(SdNotifyTo(name.c_str(), "STOPPING=1"));
  EXPECT_EQ(abstract.Receive(2s), "STOPPING=1");
  // Only the socket named got it.
  EXPECT_EQ(path.Receive(0ms), std::nullopt);
}

TEST(SystemdNotify, TheEnvironmentNamesTheSocketAndNothingGoesWithoutIt) {
  TTempDir dir;
  TNotifyReceiver receiver(dir.File("notify"));
  ASSERT_TRUE(receiver.Bound());
  ASSERT_EQ(setenv("NOTIFY_SOCKET", dir.File("notify").c_str(), 1), 0);
  EXPECT_TRUE(SdNotify("READY=1"));
  EXPECT_EQ(receiver.Receive(2s), "READY=1");
  ASSERT_EQ(setenv("NOTIFY_SOCKET", "", 1), 0);
  EXPECT_FALSE(SdNotify("READY=1"));
  ASSERT_EQ(unsetenv("NOTIFY_SOCKET"), 0);
  EXPECT_FALSE(SdNotify("READY=1"));
  EXPECT_FALSE(SdNotifyTo(nullptr, "READY=1"));
  EXPECT_EQ(receiver.Receive(100ms), std::nullopt);
}

// sun_path holds 107 bytes of path and a zero. A longer name must not be cut
// down to one that may be another socket's.
TEST(SystemdNotify, ANameTooLongForTheAddressIsRefusedNotCut) {
  TTempDir dir;
  std::string longest = dir.File("");
  longest += std::string(107 - longest.size(), 'n');
  ASSERT_EQ(longest.size(), 107u);
  TNotifyReceiver receiver(longest);
  ASSERT_TRUE(receiver.Bound());
  EXPECT_TRUE(SdNotifyTo(longest.c_str(), "READY=1"));
  EXPECT_EQ(receiver.Receive(2s), "READY=1");
  for (const std::string& longer : {longest + "x", longest + std::string(5000, 'x')}) {
    EXPECT_FALSE(SdNotifyTo(longer.c_str(), "READY=1"));
  }
  EXPECT_EQ(receiver.Receive(100ms), std::nullopt);

  // The same in the abstract namespace: '@' and 107 bytes, no terminator.
  std::string abstract = AbstractName();
  abstract += std::string(108 - abstract.size(), 'a');
  TNotifyReceiver abstractReceiver(abstract);
  ASSERT_TRUE(abstractReceiver.Bound());
  EXPECT_TRUE(SdNotifyTo(abstract.c_str(), "READY=1"));
  EXPECT_EQ(abstractReceiver.Receive(2s), "READY=1");
  EXPECT_FALSE(SdNotifyTo((abstract + "b").c_str(), "READY=1"));
  EXPECT_EQ(abstractReceiver.Receive(100ms), std::nullopt);
}

TEST(SystemdNotify, NamesThatAreNoSocketAddressAreIgnored) {
  TTempDir dir;
  for (const char* name : {"notify", "./notify", "@", "/", "vsock:2:1234", " /tmp/x"}) {
    EXPECT_FALSE(SdNotifyTo(name, "READY=1")) << name;
  }
  // A path where nobody listens, or where a file is not a socket.
  EXPECT_FALSE(SdNotifyTo(dir.File("nobody").c_str(), "READY=1"));
  dir.Write("plain", "x");
  EXPECT_FALSE(SdNotifyTo(dir.File("plain").c_str(), "READY=1"));
  {
    TNotifyReceiver gone(dir.File("gone"));
    ASSERT_TRUE(gone.Bound());
    gone.Close();
    EXPECT_FALSE(SdNotifyTo(dir.File("gone").c_str(), "READY=1"));
  }
  EXPECT_FALSE(SdNotifyTo(dir.File("nobody").c_str(), ""));
}

// A manager that stops reading fills its queue; the sender must drop, not
// wait, and keep no descriptor behind.
TEST(SystemdNotify, NeverWaitsForAReceiverThatDoesNotReadAndLeaksNoDescriptor) {
  TTempDir dir;
  TNotifyReceiver receiver(dir.File("notify"));
  ASSERT_TRUE(receiver.Bound());
  const int before = OpenDescriptors();
  auto sends = std::async(std::launch::async, [&] {
    int sent = 0;
    for (int i = 0; i < 100000; ++i) {
      if (!SdNotifyTo(dir.File("notify").c_str(), "STATUS=1 session, game server linked")) break;
      ++sent;
    }
    return sent;
  });
  if (sends.wait_for(20s) != std::future_status::ready) {
    receiver.Close();  // frees a sender stuck in a blocking send
    ADD_FAILURE() << "a send waited for the receiver";
  }
  const int sent = sends.get();
  EXPECT_GT(sent, 0);
  EXPECT_LT(sent, 100000);
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
