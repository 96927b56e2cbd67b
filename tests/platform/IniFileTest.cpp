#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>

#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

class IniFileTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir_.File(name); }
  static void Put(const std::string& path, const std::string& text) { WriteFile(path, text); }
  static std::string Get(const std::string& path) { return ReadFile(path); }

  TTempDir dir_{"tavrel-ini"};
};

TEST_F(IniFileTest, ReadsKeysIgnoringCaseBlanksAndQuotes) {
  const std::string path = Path("a.ini");
  Put(path,
      "; leading comment\n"
      "Stray=before any section\n"
      "[Other]\n"
      "GatePort=1\n"
      "[Tavrel]\n"
      "  GatePort =  7000  \n"
      "Name=\"  spaced  \"\n"
      "Empty=\n"
      "GatePort=9999\n"
      "[tavrel]\n"
      "Late=ignored, the first section wins\n");
  TIniFile ini(path);
  EXPECT_EQ(ini.ReadString("tavrel", "GATEPORT", "x"), "7000");
  EXPECT_EQ(ini.ReadInteger("Tavrel", "GatePort", -1), 7000);
  EXPECT_EQ(ini.ReadString("Tavrel", "Name", "x"), "  spaced  ");
  EXPECT_EQ(ini.ReadString("Tavrel", "Empty", "x"), "");  // present but empty: not the default
  EXPECT_EQ(ini.ReadInteger("Tavrel", "Empty", 42), 42);
  EXPECT_EQ(ini.ReadString("Tavrel", "Late", "def"), "def");
  EXPECT_EQ(ini.ReadString("Tavrel", "Stray", "def"), "def");
  EXPECT_EQ(ini.ReadString("Missing", "GatePort", "def"), "def");
  EXPECT_TRUE(ini.ValueExists("Tavrel", "Empty"));
  EXPECT_FALSE(ini.ValueExists("Tavrel", "Nope"));

  Put(path, "[S]\nLong=" + std::string(3000, 'v') + "\n");
  EXPECT_EQ(ini.ReadString("S", "Long", "").size(), TIniFile::kMaxValueLength);
}

TEST_F(IniFileTest, WritesEditOneLineInPlaceAndKeepEverythingElse) {
  const std::string path = Path("b.ini");
  Put(path,
      "; settings\n"
      "[Other]\n"
      "Key=1\n"
      "\n"
      "[Tavrel]\n"
      "gateport = 7000 ; old\n"
      "ServerAddr=10.0.0.1\n"
      "\n");
  TIniFile ini(path);
  ini.WriteInteger("Tavrel", "GatePort", 8000);
  ini.WriteString("Tavrel", "IpCount", "5");
  ini.WriteString("other", "Added", "x");
  EXPECT_EQ(Get(path),
            "; settings\n"
            "[Other]\n"
            "Key=1\n"
            "Added=x\n"
            "\n"
            "[Tavrel]\n"
            "GatePort=8000 ; old\n"
            "ServerAddr=10.0.0.1\n"
            "IpCount=5\n"
            "\n");
  // A value can never add lines to the file.
  ini.WriteString("Tavrel", "ServerAddr", "1.2.3.4\n[Evil]\r\nKey=2");
  EXPECT_EQ(ini.ReadString("Tavrel", "ServerAddr", ""), "1.2.3.4 [Evil]  Key=2");
  EXPECT_EQ(ini.ReadString("Evil", "Key", "none"), "none");
}

TEST_F(IniFileTest, CreatesMissingFileAndSectionsAndKeepsLineEndings) {
  const std::string path = Path("new.ini");
  TIniFile ini(path);
  EXPECT_EQ(ini.ReadString("Tavrel", "GateAddr", "0.0.0.0"), "0.0.0.0");
  EXPECT_EQ(ini.ReadInteger("Tavrel", "GatePort", 7303), 7303);
  EXPECT_FALSE(fs::exists(path));  // reading creates nothing

  ini.WriteString("Tavrel", "GateAddr", "0.0.0.0");
  ini.WriteInteger("Tavrel", "GatePort", -1);
  ini.WriteInteger("Console", "Port", 0);
  EXPECT_EQ(Get(path), "[Tavrel]\nGateAddr=0.0.0.0\nGatePort=-1\n\n[Console]\nPort=0\n");

  // A file edited on Windows keeps its CR LF, also on lines added to it; a last line without a
  // terminator gets one before anything follows it.
  const std::string crlf = Path("crlf.ini");
  Put(crlf, "[A]\r\nX=1");
  TIniFile win(crlf);
  win.WriteString("A", "Y", "2");
  win.WriteString("B", "Z", "3");
  EXPECT_EQ(Get(crlf), "[A]\r\nX=1\r\nY=2\r\n\r\n[B]\r\nZ=3\r\n");
}

TEST_F(IniFileTest, ByteOrderMarkIsSkippedWhenReadingAndKeptWhenWriting) {
  const std::string path = Path("bom.ini");
  Put(path, "\xEF\xBB\xBF[Tavrel]\r\nGatePort=7400\r\n");
  TIniFile ini(path);
  EXPECT_EQ(ini.ReadInteger("Tavrel", "GatePort", -1), 7400);
  EXPECT_TRUE(ini.ValueExists("Tavrel", "GatePort"));
  ini.WriteInteger("Tavrel", "ServerPort", 5100);
  ini.WriteInteger("Tavrel", "GatePort", 7401);
  // One section still, edited in place behind the mark.
  EXPECT_EQ(Get(path), "\xEF\xBB\xBF[Tavrel]\r\nGatePort=7401\r\nServerPort=5100\r\n");
}

TEST_F(IniFileTest, IntegersAcceptDecimalAndBothHexadecimalForms) {
  struct Case {
    const char* text;
    bool ok;
    int32_t value;
  };
  const Case cases[] = {
      {"0", true, 0},
      {"+7", true, 7},
      {"-12", true, -12},
      {"0x1F", true, 31},
      {"0X1f", true, 31},
      {"$1f", true, 31},
      {"-0x10", true, -16},
      {"0xFFFFFFFF", true, -1},
      {"0x7FFFFFFF", true, 2147483647},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0},
      {"0x100000000", false, 0},
      {"", false, 0},
      {"-", false, 0},
      {"0x", false, 0},
      {"$", false, 0},
      {"12abc", false, 0},
      {"0x1G", false, 0},
      {"1 2", false, 0},
      {"abc", false, 0},
  };
  for (const Case& c : cases) {
    int32_t value = 12345;
    EXPECT_EQ(TryParseIniInteger(c.text, value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
  const std::string path = Path("int.ini");
  Put(path, "[S]\nHex=0x1C87\nDollar=$10\nBad=70000x\n");
  TIniFile ini(path);
  EXPECT_EQ(ini.ReadInteger("S", "Hex", -1), 7303);
  EXPECT_EQ(ini.ReadInteger("S", "Dollar", -1), 16);
  EXPECT_EQ(ini.ReadInteger("S", "Bad", -1), -1);
}

TEST_F(IniFileTest, UnwritableFileRaisesUnableToWrite) {
  const std::string path = Path("no-such-dir/Tavrel.ini");
  TIniFile ini(path);
  try {
    ini.WriteInteger("Tavrel", "GatePort", 7303);
    FAIL() << "no exception";
  } catch (const EIniFileException& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
  }
  // A directory in the file's place cannot be written either.
  const std::string asDir = Path("dir.ini");
  fs::create_directory(asDir);
  TIniFile dirIni(asDir);
  EXPECT_THROW(dirIni.WriteString("S", "K", "V"), EIniFileException);
}

TEST_F(IniFileTest, InlineCommentsEndValuesAndQuotesKeepThem) {
  const std::string path = Path("c.ini");
  Put(path,
      "[S]\n"
      "Token=change-me   ; required\n"
      "Trusted=10.0.0.2  # lb\n"
      "Tab=x\t;tab\n"
      "Url=http://host/#frag\n"
      "Pass=a;b#c\n"
      "Lead=;starts\n"
      "Empty=   ; nothing here\n"
      "Quoted=\"a ; b \"  ; comment\n"
      "Single=' # x'\n"
      "Unclosed=\"a ; b\n"
      "Trailing=\"a\";b\n");
  TIniFile ini(path);
  EXPECT_EQ(ini.ReadString("S", "Token", ""), "change-me");
  EXPECT_EQ(ini.ReadString("S", "Trusted", ""), "10.0.0.2");
  EXPECT_EQ(ini.ReadString("S", "Tab", ""), "x");
  EXPECT_EQ(ini.ReadString("S", "Url", ""), "http://host/#frag");
  EXPECT_EQ(ini.ReadString("S", "Pass", ""), "a;b#c");
  EXPECT_EQ(ini.ReadString("S", "Lead", ""), ";starts");
  EXPECT_EQ(ini.ReadString("S", "Empty", "def"), "");
  EXPECT_TRUE(ini.ValueExists("S", "Empty"));
  EXPECT_EQ(ini.ReadString("S", "Quoted", ""), "a ; b ");
  EXPECT_EQ(ini.ReadString("S", "Single", ""), " # x");
  EXPECT_EQ(ini.ReadString("S", "Unclosed", ""), "\"a");
  EXPECT_EQ(ini.ReadString("S", "Trailing", ""), "\"a\";b");

  Put(path, "[S]\nPort=7400 ; the port\n");
  EXPECT_EQ(ini.ReadInteger("S", "Port", -1), 7400);
}

TEST_F(IniFileTest, WrittenValuesReadBackAsTheyWereAndKeepTheLinesComment) {
  const std::string path = Path("w.ini");
  Put(path, "[S]\nToken=old   ; required\nBare= # fill in\nQuoted=\"a ; b\" ;c\nKeep=1\n");
  TIniFile ini(path);
  ini.WriteString("S", "Token", "new");
  ini.WriteString("S", "Bare", "v");
  ini.WriteString("S", "Quoted", "q");
  EXPECT_EQ(Get(path), "[S]\nToken=new   ; required\nBare=v # fill in\nQuoted=q ;c\nKeep=1\n");
  // Through the console a value may hold what the syntax reads otherwise.
  for (const std::string value :
       {"a ; b", "x #y", "  padded  ", "\"quoted\"", "'single'", "plain;semi", "it's a ; b"}) {
    ini.WriteString("S", "Value", value);
    EXPECT_EQ(ini.ReadString("S", "Value", ""), value) << value;
  }
  EXPECT_EQ(ini.ReadString("S", "Token", ""), "new");
  EXPECT_EQ(ini.ReadString("S", "Keep", ""), "1");

  // Reads that share one reading of the file still see a write made meanwhile.
  const TIniFile::THold hold(ini);
  EXPECT_EQ(ini.ReadString("S", "Keep", ""), "1");
  ini.WriteString("S", "Keep", "2");
  EXPECT_EQ(ini.ReadString("S", "Keep", ""), "2");
  ini.WriteString("T", "Added", "3");
  EXPECT_EQ(ini.ReadString("T", "Added", ""), "3");
}

// Runs `body` in a child process that alarm() ends after a few seconds; its exit status, or -1
// when it hung or crashed.
int RunBounded(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(5);
    _exit(body());
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(IniFileTest, FilesThatAreNotSmallRegularFilesAreNeitherReadNorWritten) {
  const std::string fifo = Path("fifo.ini");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const std::string dir = Path("dir.ini");
  fs::create_directory(dir);
  const std::string big = Path("big.ini");
  Put(big, "[S]\nK=v\n" + std::string(TIniFile::kMaxFileBytes, ';'));
  const std::string full = Path("full.ini");
  Put(full, "[S]\nK=v\n;" + std::string(TIniFile::kMaxFileBytes - 9, ';'));
  ASSERT_EQ(fs::file_size(full), TIniFile::kMaxFileBytes);
  const struct {
    std::string path;
    std::string why;
  } refused[] = {
      {fifo, "is not a regular file"},
      {"/dev/zero", "is not a regular file"},
      {dir, "is a directory"},
      {big, "is larger than 1048576 bytes"},
  };
  for (const auto& r : refused) {
    // A blocking open of the FIFO would wait for a writer for ever: the child would not end.
    const int code = RunBounded([&] {
      TIniFile ini(r.path);
      if (ini.Problem() != r.why) return 1;
      if (ini.ReadString("S", "K", "def") != "def" || ini.ValueExists("S", "K")) return 2;
      try {
        ini.WriteString("S", "K", "w");
        return 3;
      } catch (const EIniFileException& e) {
        return std::string(e.what()) == "Unable to write to " + r.path ? 0 : 4;
      }
    });
    EXPECT_EQ(code, 0) << r.path;
  }
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_TRUE(fs::is_directory(dir));
  EXPECT_EQ(fs::file_size(big), TIniFile::kMaxFileBytes + 8);

  TIniFile atLimit(full);
  EXPECT_EQ(atLimit.Problem(), "");
  EXPECT_EQ(atLimit.ReadString("S", "K", ""), "v");
  TIniFile missing(Path("missing.ini"));
  EXPECT_EQ(missing.Problem(), "");

  if (geteuid() != 0) {  // root reads a file whatever its mode
    const std::string locked = Path("locked.ini");
    Put(locked, "[S]\nK=v\n");
    fs::permissions(locked, fs::perms::none);
    TIniFile ini(locked);
    EXPECT_EQ(ini.Problem(), "cannot be read: Permission denied");
    EXPECT_THROW(ini.WriteString("S", "K", "w"), EIniFileException);
  }
}

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(IniFileTest, WritesReplaceTheFileWholeAndFollowLinksToIt) {
  fs::create_directory(Path("etc"));
  const std::string target = Path("etc/real.ini");
  Put(target, "[S]\nK=old\n");
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  // A second name for the same bytes shows whether they were rewritten in place.
  fs::create_hard_link(target, Path("etc/before.ini"));
  fs::create_symlink("etc/real.ini", Path("hop.ini"));
  fs::create_symlink(Path("hop.ini"), Path("link.ini"));

  TIniFile ini(Path("link.ini"));
  ini.WriteString("S", "K", "new");
  EXPECT_TRUE(fs::is_symlink(Path("link.ini")));
  EXPECT_TRUE(fs::is_symlink(Path("hop.ini")));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target)));
  EXPECT_EQ(Get(target), "[S]\nK=new\n");
  EXPECT_EQ(Get(Path("etc/before.ini")), "[S]\nK=old\n");
  EXPECT_EQ(fs::status(target).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(Names(Path("etc")), (std::vector<std::string>{"before.ini", "real.ini"}));
  EXPECT_EQ(Names(dir_.Path()), (std::vector<std::string>{"etc", "hop.ini", "link.ini"}));

  // A link that leads nowhere yet: the file is made where it points.
  fs::create_symlink("etc/later.ini", Path("dangling.ini"));
  TIniFile later(Path("dangling.ini"));
  later.WriteString("S", "K", "v");
  EXPECT_TRUE(fs::is_symlink(Path("dangling.ini")));
  EXPECT_EQ(Get(Path("etc/later.ini")), "[S]\nK=v\n");

  // Links that go round are refused.
  fs::create_symlink("loop-b.ini", Path("loop-a.ini"));
  fs::create_symlink("loop-a.ini", Path("loop-b.ini"));
  TIniFile loop(Path("loop-a.ini"));
  EXPECT_THROW(loop.WriteString("S", "K", "v"), EIniFileException);

  if (geteuid() != 0) {  // the owner's read-only mark holds, though the directory would allow it
    fs::permissions(target, fs::perms::owner_read);
    EXPECT_THROW(ini.WriteString("S", "K", "again"), EIniFileException);
    EXPECT_EQ(Get(target), "[S]\nK=new\n");
  }
}

TEST_F(IniFileTest, FullDiskLeavesTheOldFileWhole) {
  const std::string path = Path("full.ini");
  const std::string old = "[S]\nK=old\n;" + std::string(3000, 'x') + "\n";
  Put(path, old);
  const int code = RunBounded([&] {
    // A file size limit stands in for a full disk: writes past it fail with EFBIG.
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 9;
    TIniFile ini(path);
    try {
      ini.WriteString("S", "Big", std::string(2000, 'y'));
      return 1;
    } catch (const EIniFileException& e) {
      return std::string(e.what()) == "Unable to write to " + path ? 0 : 2;
    }
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(Get(path), old);
  EXPECT_EQ(Names(dir_.Path()), std::vector<std::string>{"full.ini"});  // no leftovers
}

}  // namespace
