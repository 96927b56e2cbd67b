#include "log/uThread_Logger.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string Today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char date[32];
  std::snprintf(date, sizeof(date), "%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday);
  return date;
}

// Lines of a log file without their CR LF.
std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  const std::string text = ReadFile(path);
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

class LoggerTest : public ::testing::Test {
 protected:
  void TearDown() override { g_Logger.reset(); }

  std::string File(const char* stem, int number) const {
    char name[64];
    std::snprintf(name, sizeof(name), "%s_%s_%03d.txt", stem, Today().c_str(), number);
    return dir_ + name;
  }
  void MakeFile(const std::string& path, uintmax_t size) const {
    fs::create_directories(dir_);
    std::ofstream(path).close();
    fs::resize_file(path, size);  // sparse: costs no disk
  }
  TLogger& UseLogger() {
    g_Logger = std::make_unique<TLogger>();
    g_Logger->Initialize(dir_);
    return *g_Logger;
  }

  TTempDir tmp_{"tavrel-log"};
  fs::path root_{tmp_.Path()};
  std::string dir_ = (root_ / "Log" / "7303").string() + "/";
};

TEST(LogFormatTest, FormatsTypedArgumentsAndReportsMismatches) {
  EXPECT_EQ(Format("%s IP:%s 超过数量上线%d", "17", std::string("1.2.3.4"), 5),
            "17 IP:1.2.3.4 超过数量上线5");
  EXPECT_EQ(Format("[%5d|%-4s|%04X|%.2f|%u|%%|%c]", -42, "ab", 255u, 2.5, -1, 'z'),
            "[  -42|ab  |00FF|2.50|4294967295|%|z]");
  EXPECT_EQ(Format("SSL:[%d] Ver:%s", true, std::string_view("202303021400")),
            "SSL:[1] Ver:202303021400");
  EXPECT_EQ(Format("%lld %zu %.3s", int64_t{-9000000000}, size_t{7}, "abcdef"),
            "-9000000000 7 abc");
  EXPECT_EQ(Format("%d", uint64_t{18446744073709551615ULL}), "18446744073709551615");
  // Bare conversions take a path of their own: every kind of integer at its edges.
  EXPECT_EQ(Format("%d|%i|%u|%d|%u", INT64_MIN, INT64_MAX, uint64_t{0}, -7, uint64_t{1} << 63),
            "-9223372036854775808|9223372036854775807|0|-7|9223372036854775808");
  EXPECT_EQ(Format("%u", INT64_MIN), "9223372036854775808");
  EXPECT_EQ(Format("100%% of %d%s", 3, " tail"), "100% of 3 tail");

  const auto message = [](auto&&... args) -> std::string {
    try {
      Format(args...);
    } catch (const ELogFormatError& e) {
      return e.what();
    }
    return "no error";
  };
  EXPECT_EQ(message("Value %d", "text"), "Format 'Value %d' invalid or incompatible with argument");
  EXPECT_EQ(message("%s", 5), "Format '%s' invalid or incompatible with argument");
  EXPECT_EQ(message("%f", 5), "Format '%f' invalid or incompatible with argument");
  EXPECT_EQ(message("%d %d", 1), "No argument for format '%d %d'");
  EXPECT_EQ(message("50%", 1), "Format '50%' invalid or incompatible with argument");
  EXPECT_EQ(message("%y", 1), "Format '%y' invalid or incompatible with argument");
  EXPECT_EQ(message("%99999d", 1), "Format '%99999d' invalid or incompatible with argument");
}

TEST(LogFormatTest, LocalTimeIsTheTextOfEachSecondItIsAskedFor) {
  // The text of one second is kept: asking for others in turn must not return it.
  for (const std::time_t when : {std::time_t{0}, std::time_t{1786500000}, std::time_t{1786500001},
                                 std::time_t{1786500001}, std::time_t{0}}) {
    std::tm local{};
    localtime_r(&when, &local);
    char expected[32];
    std::strftime(expected, sizeof(expected), "%Y-%m-%d %H:%M:%S", &local);
    std::string out = "x";
    AppendLocalTime(out, when);
    EXPECT_EQ(out, std::string("x") + expected);
  }
}

TEST_F(LoggerTest, LinesCarryTheTimeStampAndBlankTextsWriteNothing) {
  OutErrorLog("no logger yet: ignored");  // must neither crash nor queue anywhere
  TLogger& logger = UseLogger();
  OutErrorLog("");
  OutErrorLog(" \t ");
  OutDebugLog("   ");
  OutErrorLog("   ", 5);  // a blank format with arguments too
  logger.FlushNow();
  EXPECT_FALSE(fs::exists(File("error", 1)));
  EXPECT_FALSE(fs::exists(File("debug", 1)));

  OutErrorLog("x");
  OutErrorLog("failed", std::runtime_error("boom"));
  OutErrorLog("port %d of %s", 7303, "gate");
  OutErrorLog("Value %d", "text");
  OutDebugLog("debug %s", "line");
  OutDebugLog("Value %d", "text");
  logger.FlushNow();

  const std::string stamp = R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3}\] )";
  const std::vector<std::string> errors = Lines(File("error", 1));
  ASSERT_EQ(errors.size(), 5u);  // four lines and the batch's closing empty line
  EXPECT_TRUE(std::regex_match(errors[0], std::regex(stamp + "x"))) << errors[0];
  EXPECT_TRUE(std::regex_match(errors[1], std::regex(stamp + "failed Except：boom"))) << errors[1];
  EXPECT_TRUE(std::regex_match(errors[2], std::regex(stamp + "port 7303 of gate"))) << errors[2];
  EXPECT_TRUE(std::regex_match(
      errors[3],
      std::regex(stamp + "Format_Err: Value %d  Format 'Value %d' invalid or incompatible with "
                         "argument")))
      << errors[3];
  EXPECT_EQ(errors[4], "");

  const std::vector<std::string> debug = Lines(File("debug", 1));
  ASSERT_EQ(debug.size(), 3u);
  EXPECT_TRUE(std::regex_match(debug[0], std::regex(stamp + "debug line"))) << debug[0];
  EXPECT_TRUE(std::regex_match(debug[1], std::regex(stamp + "Format_Err: Value %d"))) << debug[1];

  EXPECT_TRUE(ReadFile(File("error", 1)).ends_with("argument\r\n\r\n"));
  // Categories nothing wrote to get no file.
  EXPECT_FALSE(fs::exists(File("data", 1)));
}

TEST_F(LoggerTest, QueueKeepsTwoThousandLinesPerFlushCountsTheRestAndDataUsesItsOwnFiles) {
  TLogger& logger = UseLogger();
  for (int i = 1; i <= 2300; ++i) logger.WriteError("line " + std::to_string(i));
  logger.WriteData("d");
  logger.WriteSave("s");
  logger.WriteScript("c");
  logger.FlushNow();
  std::vector<std::string> lines = Lines(File("error", 1));
  ASSERT_EQ(lines.size(), 2002u);
  EXPECT_EQ(lines[1999], "line 2000");
  // The cut is never silent: a line counts it and so does the category's counter.
  EXPECT_TRUE(lines[2000].ends_with("300 log lines dropped: more than 2000 in one flush"))
      << lines[2000];
  EXPECT_EQ(lines[2001], "");
  EXPECT_EQ(logger.DroppedLines(ELogCategory::Error), 300u);
  EXPECT_EQ(logger.DroppedLines(ELogCategory::Data), 0u);
  EXPECT_EQ(ReadFile(File("data", 1)), "d\r\n\r\n");
  EXPECT_EQ(ReadFile(File("save", 1)), "s\r\n\r\n");
  EXPECT_EQ(ReadFile(File("script", 1)), "c\r\n\r\n");

  // The limit is per flush: the next batch is taken whole again, with no count line.
  logger.WriteError("after");
  logger.FlushNow();
  lines = Lines(File("error", 1));
  EXPECT_EQ(lines.size(), 2004u);
  EXPECT_EQ(lines[2002], "after");
  EXPECT_EQ(logger.DroppedLines(ELogCategory::Error), 300u);
}

// Only the logger's own dated files older than the days to keep go; the one
// in use stays whatever its date, and nothing goes while KeepDays is 0.
TEST_F(LoggerTest, KeepDaysDeletesOnlyItsOwnOlderDatedFiles) {
  const auto daysAgo = [](int days) {
    const std::time_t t = std::time(nullptr) - static_cast<std::time_t>(days) * 86400;
    std::tm local{};
    localtime_r(&t, &local);
    char date[16];
    std::strftime(date, sizeof(date), "%Y%m%d", &local);
    return std::string(date);
  };
  const std::string old = dir_ + "error_" + daysAgo(10) + "_001.txt";
  const std::string oldData = dir_ + "data_" + daysAgo(10) + "_042.txt";
  const std::string recent = dir_ + "data_" + daysAgo(3) + "_001.txt";
  const std::string foreign = dir_ + "notes_" + daysAgo(10) + "_001.txt";
  const std::string odd = dir_ + "error_" + daysAgo(10) + "_01.txt";
  for (const std::string& f : {old, oldData, recent, foreign, odd}) MakeFile(f, 10);
  fs::create_directories(dir_ + "debug_" + daysAgo(10) + "_001.txt");

  TLogger& logger = UseLogger();
  logger.WriteError("kept");
  logger.FlushNow();
  EXPECT_TRUE(fs::exists(old));

  logger.SetKeepDays(5);
  logger.WriteError("pruned");
  logger.FlushNow();
  EXPECT_FALSE(fs::exists(old));
  EXPECT_FALSE(fs::exists(oldData));
  for (const std::string& f : {recent, foreign, odd, dir_ + "debug_" + daysAgo(10) + "_001.txt"})
    EXPECT_TRUE(fs::exists(f)) << f;
  EXPECT_NE(ReadFile(File("error", 1)).find("pruned"), std::string::npos);
}

// Log rotation moves a nearly full file away and sends SIGUSR1: the logger
// takes the name afresh, empty, instead of rolling over to the next number.
TEST_F(LoggerTest, ReopenStartsAgainOnAFileRotationMovedAway) {
  MakeFile(File("error", 1), Logger_Max_Size - 10);
  TLogger& logger = UseLogger();
  fs::rename(File("error", 1), File("error", 1) + ".1");
  logger.Reopen();
  logger.WriteError(std::string(100, 'x'));
  logger.FlushNow();
  logger.WriteError("second");
  logger.FlushNow();
  EXPECT_NE(ReadFile(File("error", 1)).find("second"), std::string::npos);
  EXPECT_FALSE(fs::exists(File("error", 2)));
  EXPECT_EQ(fs::file_size(File("error", 1) + ".1"), Logger_Max_Size - 10);
}

TEST_F(LoggerTest, FullFilesRollOverToTheNextNumber) {
  // Over the limit at start-up: the next number is used.
  MakeFile(File("error", 1), Logger_Max_Size + 1);
  // Just under it: still used, and left once a flush takes it over.
  MakeFile(File("debug", 1), Logger_Max_Size - 5);
  TLogger& logger = UseLogger();
  EXPECT_EQ(logger.CurrentFile(ELogCategory::Error), File("error", 2));
  EXPECT_EQ(logger.CurrentFile(ELogCategory::Debug), File("debug", 1));

  logger.WriteError("e");
  logger.WriteDebug("first batch");
  logger.FlushNow();
  EXPECT_EQ(ReadFile(File("error", 2)), "e\r\n\r\n");
  EXPECT_EQ(fs::file_size(File("debug", 1)), Logger_Max_Size - 5 + 15);
  EXPECT_EQ(logger.CurrentFile(ELogCategory::Debug), File("debug", 2));
  logger.WriteDebug("second batch");
  logger.FlushNow();
  EXPECT_EQ(ReadFile(File("debug", 2)), "second batch\r\n\r\n");
}

TEST_F(LoggerTest, WhenEveryNumberIsFullTheLastOneKeepsGrowing) {
  for (int n = 1; n <= Logger_Max_FileNumber; ++n) MakeFile(File("error", n), Logger_Max_Size + 1);
  TLogger& logger = UseLogger();
  EXPECT_EQ(logger.CurrentFile(ELogCategory::Error), File("error", 100));
  logger.WriteError("still written");
  logger.FlushNow();
  logger.WriteError("and again");
  logger.FlushNow();
  EXPECT_EQ(fs::file_size(File("error", 100)), Logger_Max_Size + 1 + 17 + 13);
  EXPECT_FALSE(fs::exists(File("error", 101)));
}

TEST_F(LoggerTest, StopWritesWhatIsStillQueued) {
  TLogger& logger = UseLogger();
  logger.Start();
  OutErrorLog("written by the thread at stop");
  OutDebugLog("so is this");
  logger.Stop();  // long before the five-second flush
  const std::vector<std::string> errors = Lines(File("error", 1));
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_TRUE(errors[0].ends_with("] written by the thread at stop"));
  EXPECT_TRUE(ReadFile(File("debug", 1)).find("] so is this\r\n") != std::string::npos);

  // Without a thread the queued lines are written by Stop itself.
  TLogger idle;
  idle.Initialize(dir_);
  idle.WriteData("queued, never started");
  idle.Stop();
  EXPECT_EQ(ReadFile(File("data", 1)), "queued, never started\r\n\r\n");
}

TEST_F(LoggerTest, StopLeavesAStuckThreadToFinishAlone) {
  // A FIFO without a reader blocks the thread's final flush in open().
  fs::create_directories(dir_);
  const std::string fifo = File("error", 1);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  TLogger& logger = UseLogger();
  logger.Start();
  logger.WriteError("late line");
  logger.Stop();     // returns after its 1000 ms wait instead of hanging
  g_Logger.reset();  // nor does releasing the logger wait for the thread

  // Once a reader appears the detached thread completes its write on its own state.
  const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  std::string got;
  for (int i = 0; i < 100 && !got.ends_with("\r\n\r\n"); ++i) {
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 50);
    char buf[256];
    const ssize_t n = read(fd, buf, sizeof(buf));
    if (n > 0) got.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  EXPECT_EQ(got, "late line\r\n\r\n");
}

TEST_F(LoggerTest, UnwritableDirectoryKeepsLinesAndReportsTheError) {
  TLogger& logger = UseLogger();
  fs::remove_all(dir_);
  std::ofstream(root_ / "Log" / "7303").close();  // a file where the directory was
  logger.WriteDebug("kept");
  logger.FlushNow();
  // The lines wait for the directory to return, and the failure is queued as an error line.
  fs::remove(root_ / "Log" / "7303");
  fs::create_directories(dir_);
  logger.FlushNow();
  EXPECT_EQ(ReadFile(File("debug", 1)), "kept\r\n\r\n");
  const std::string errors = ReadFile(File("error", 1));
  EXPECT_NE(errors.find("] TLogger.Execute Stop Error Except："), std::string::npos) << errors;
}

// Rotation that moves the whole directory: the reopen makes it again. A file
// that cannot be written is told once per run of failures, counted on every
// try, and told again when it is written.
TEST_F(LoggerTest, ReopenMakesAMovedDirectoryAgainAndFailedWritesAreToldAndCounted) {
  TLogger& logger = UseLogger();
  fs::rename(root_ / "Log", root_ / "Log.old");
  EXPECT_EQ(logger.Reopen(), "");
  logger.WriteError("after the move");
  logger.FlushNow();
  EXPECT_NE(ReadFile(File("error", 1)).find("after the move"), std::string::npos);

  fs::remove_all(root_ / "Log");
  std::ofstream(root_ / "Log").close();  // a file where the directory must be
  EXPECT_NE(logger.Reopen().find("Cannot create " + dir_), std::string::npos);
  logger.WriteDebug("kept");
  logger.FlushNow();
  logger.FlushNow();
  EXPECT_EQ(logger.WriteFailures(), 3u) << "debug, then the error line of that, then both again";
  std::vector<TLogNotice> notices = logger.TakeNotices();
  ASSERT_EQ(notices.size(), 2u) << "once for each file, not for each try";
  for (const TLogNotice& n : notices) {
    EXPECT_TRUE(n.boError);
    EXPECT_TRUE(
        n.text.starts_with("Log file not written, its lines kept for the next try: Cannot "
                           "open " +
                           dir_))
        << n.text;
  }

  fs::remove(root_ / "Log");
  EXPECT_EQ(logger.Reopen(), "");
  logger.FlushNow();
  EXPECT_EQ(ReadFile(File("debug", 1)), "kept\r\n\r\n");
  notices = logger.TakeNotices();
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_FALSE(notices[0].boError);
  EXPECT_EQ(notices[0].text, "Log file " + File("error", 1) + " written again");
  EXPECT_TRUE(logger.TakeNotices().empty());
}

}  // namespace

namespace {

// Standard output becomes the write end of a pipe for the test's life.
class TStdoutPipe {
 public:
  TStdoutPipe() {
    EXPECT_EQ(::pipe(fds_), 0);
    saved_ = ::dup(STDOUT_FILENO);
    ::dup2(fds_[1], STDOUT_FILENO);
  }
  ~TStdoutPipe() {
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  // Everything the pipe holds now.
  std::string Drain() {
    std::string got;
    char buf[65536];
    ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    for (ssize_t n; (n = ::read(fds_[0], buf, sizeof buf)) > 0;) got.append(buf, n);
    return got;
  }

 private:
  int fds_[2] = {-1, -1};
  int saved_ = -1;
};

// A reader that stops reading must not hold the caller: lines wait for the
// logger thread, and past the queue's bound they are dropped and counted.
TEST(LoggerStdoutTest, AStalledReaderNeverBlocksTheCaller) {
  TStdoutPipe pipe;
  TTempDir dir;
  TLogger logger;
  logger.Initialize(dir.Path());
  logger.Start();
  logger.WriteStdout(std::vector<std::string>{"first line"});
  const std::vector<std::string> batch(1000, std::string(1000, 'x'));
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) logger.WriteStdout(batch);  // 20 MB: far past pipe and bound
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_GT(logger.StdoutDroppedLines(), 10000u);
  EXPECT_LT(logger.StdoutDroppedLines(), 20000u);
  // Once the reader reads again every line kept arrives, whole, in order.
  std::string got;
  const size_t kept = 11 + (20000 - logger.StdoutDroppedLines()) * 1001;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (got.size() < kept && std::chrono::steady_clock::now() < deadline) {
    got += pipe.Drain();
    std::this_thread::sleep_for(5ms);
  }
  logger.Stop();
  got += pipe.Drain();
  EXPECT_EQ(got.size(), kept);
  EXPECT_TRUE(got.starts_with("first line\n")) << got.substr(0, 40);
}

}  // namespace
