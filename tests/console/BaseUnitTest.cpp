#include "console/BaseUnit.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "shared/Share.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

class BaseFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("Tavrel.ini");
    std::ofstream(path_) << "[Tavrel]\nGateAddr=10.1.1.1\nGatePort=7400\nServerAddr=10.2.2.2\n"
                            "ServerPort=5100\nIpCount=9\n";
    g_GateConfig = TGateConfig();
    LoadConfig(path_);
  }
  void TearDown() override {
    g_Config.reset();
    g_bClientSpeedDebugMode = false;
  }

  std::string FileText() const { return ReadFile(path_); }
  int32_t IniInt(const char* key) const { return TIniFile(path_).ReadInteger("Tavrel", key, -1); }

  TTempDir dir_{"tavrel-baseform"};
  std::string path_;
};

TEST_F(BaseFormTest, OpensWithTheSettingsAndTheBoxUnticked) {
  g_bClientSpeedDebugMode = true;
  TBaseForm form;
  form.Open();
  EXPECT_EQ(form.EditGateIP, "10.1.1.1");
  EXPECT_EQ(form.SpinGatePort, 7400);
  EXPECT_EQ(form.EditServerIP, "10.2.2.2");
  EXPECT_EQ(form.SpinServerPort, 5100);
  EXPECT_EQ(form.SpinEditIPCount, 9);
  EXPECT_FALSE(form.CheckBoxClientSpeedDebugMode);
  // Opening leaves the switch as it was; only clicking the box moves it.
  EXPECT_TRUE(g_bClientSpeedDebugMode);
  form.CheckBoxClientSpeedDebugModeClick();
  EXPECT_FALSE(g_bClientSpeedDebugMode);
  form.CheckBoxClientSpeedDebugMode = true;
  form.CheckBoxClientSpeedDebugModeClick();
  EXPECT_TRUE(g_bClientSpeedDebugMode);
}

TEST_F(BaseFormTest, StoresAndSavesUsablePortsAndNonEmptyAddresses) {
  struct Case {
    int32_t port;
    uint16_t kept;
  };
  // 0 and 65535 (and what a spin edit would clamp to them) leave the old port.
  for (const Case c : {Case{1, 1}, Case{65534, 65534}, Case{0, 65534}, Case{65535, 65534},
                       Case{-3, 65534}, Case{70000, 65534}, Case{7500, 7500}}) {
    TBaseForm form;
    form.Open();
    form.SpinGatePort = c.port;
    form.SpinServerPort = c.port;
    form.Button1Click();
    EXPECT_EQ(g_GateConfig.nGatePort, c.kept) << c.port;
    EXPECT_EQ(g_GateConfig.nServerPort, c.kept) << c.port;
    EXPECT_EQ(IniInt("GatePort"), c.kept) << c.port;
    EXPECT_EQ(IniInt("ServerPort"), c.kept) << c.port;
  }

  TBaseForm form;
  form.Open();
  form.EditGateIP.clear();
  form.EditServerIP = "game.example";
  form.SpinEditIPCount = 0;  // below the spin edit's range
  form.Button1Click();
  EXPECT_EQ(g_GateConfig.sGateIP, "10.1.1.1");
  EXPECT_EQ(g_GateConfig.sServerIP, "game.example");
  EXPECT_EQ(g_GateConfig.nIpCount, 9);
  TIniFile ini(path_);
  EXPECT_EQ(ini.ReadString("Tavrel", "GateAddr", ""), "10.1.1.1");
  EXPECT_EQ(ini.ReadString("Tavrel", "ServerAddr", ""), "game.example");
  EXPECT_EQ(IniInt("IpCount"), 9);
}

// A limit below 2 would admit no one: the old one stays, as for a port.
TEST_F(BaseFormTest, ConnectionLimitBelowTwoKeepsTheOldOne) {
  struct Case {
    int32_t count;
    int32_t kept;
  };
  for (const Case c :
       {Case{1, 9}, Case{-5, 9}, Case{2, 2}, Case{100001, 100000}, Case{1, 100000}}) {
    TBaseForm form;
    form.Open();
    form.SpinEditIPCount = c.count;
    form.Button1Click();
    EXPECT_EQ(g_GateConfig.nIpCount, c.kept) << c.count;
    EXPECT_EQ(IniInt("IpCount"), c.kept) << c.count;
  }
}

TEST_F(BaseFormTest, WritesTheFiveKeysInOrder) {
  fs::remove(path_);
  TBaseForm form;
  form.Open();
  form.Button1Click();
  EXPECT_EQ(FileText(),
            "[Tavrel]\nGateAddr=10.1.1.1\nGatePort=7400\nServerAddr=10.2.2.2\nServerPort=5100\n"
            "IpCount=9\n");
}

// The operator's file (--config) is never written: the dialog stores and says it did not save.
TEST_F(BaseFormTest, TheOperatorsFileIsStoredIntoNotSaved) {
  LoadConfig(path_, EConfigWrite::KeepFile);
  const std::string before = FileText();
  TBaseForm form;
  form.Open();
  form.SpinGatePort = 7600;
  form.SpinEditIPCount = 12;
  EXPECT_FALSE(form.Button1Click());
  EXPECT_EQ(g_GateConfig.nGatePort, 7600);
  EXPECT_EQ(g_GateConfig.nIpCount, 12);
  EXPECT_EQ(FileText(), before);

  LoadConfig(path_);  // ./Tavrel.ini's way again
  form.Open();
  EXPECT_TRUE(form.Button1Click());
  EXPECT_EQ(IniInt("GatePort"), 7400);  // the file's own value, loaded again
}

TEST_F(BaseFormTest, AnUnwritableFileFailsAfterStoring) {
  fs::remove(path_);
  fs::create_directory(path_);  // unwritable as a file, even for root
  TBaseForm form;
  form.Open();
  form.SpinGatePort = 7600;
  EXPECT_THROW(form.Button1Click(), EIniFileException);
  EXPECT_EQ(g_GateConfig.nGatePort, 7600);
}

}  // namespace
