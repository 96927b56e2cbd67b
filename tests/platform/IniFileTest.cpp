#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include <filesystem>
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
            "GatePort=8000\n"
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

}  // namespace
