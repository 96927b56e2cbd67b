// The log files as an operator rotates them, against the real process:
// SIGUSR1 after the whole log directory was moved away makes it again, a
// file that cannot be written is said on standard output and counted, never
// silent, and the listening line names the address in use.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "e2e/FaultSupport.h"
#include "e2e/Harness.h"

namespace {

namespace fs = std::filesystem;

TEST(LogFiles, UsrOneAfterTheDirectoryMovedWritesAgainAndAFailingFileIsToldAndCounted) {
  TGatewayRig::TOptions options;
  options.startGameServer = false;
  options.listenAddr = "127.0.0.1";  // GateAddr stays at its 0.0.0.0
  TGatewayRig rig(options);
  rig.StartGateway();
  EXPECT_GE(rig.WaitGate("绑定端口[127.0.0.1:" + std::to_string(rig.gatePort) + "]", 5s), 0);
  ASSERT_TRUE(WaitLogFileLine(rig, "获得端口", 10s));

  // logrotate's way with a directory: moved, then SIGUSR1.
  fs::rename(rig.dir.File("Log"), rig.dir.File("Log.old"));
  size_t from = rig.gateway->LineCount();
  rig.gateway->Signal(SIGUSR1);
  ASSERT_GE(rig.WaitGate("SIGUSR1: log files reopened", 3s, from), 0);
  EXPECT_TRUE(WaitLogFileLine(rig, "SIGUSR1: log files reopened", 10s))
      << "nothing written after the directory moved";

  // A file where the directory must be: the reopen says it cannot, each
  // failed write counts, and the lines wait for the directory's return.
  std::error_code gone;  // the directory may be missing already
  fs::rename(rig.dir.File("Log"), rig.dir.File("Log.older"), gone);
  rig.dir.Write("Log", "not a directory");
  from = rig.gateway->LineCount();
  rig.gateway->Signal(SIGUSR1);
  EXPECT_GE(rig.WaitGate("SIGUSR1: log files not reopened: Cannot create ./Log/", 3s, from), 0);
  EXPECT_GE(
      rig.WaitGate("Log file not written, its lines kept for the next try: Cannot open ./Log/", 10s,
                   from),
      0);
  EXPECT_GE(ReadMetrics(rig)["tavrel_log_write_failures_total"], 1);

  fs::remove(rig.dir.File("Log"));
  from = rig.gateway->LineCount();
  rig.gateway->Signal(SIGUSR1);
  EXPECT_GE(rig.WaitGate("SIGUSR1: log files reopened", 3s, from), 0);
  EXPECT_GE(rig.WaitGate(" written again", 10s, from), 0);
  EXPECT_TRUE(WaitLogFileLine(rig, "SIGUSR1: log files not reopened", 5s))
      << "the lines kept while the file failed are lost";
}

}  // namespace
