#include "IniFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "TempDir.h"

namespace {

using pdulink::test::Slurp;
using pdulink::test::TempDir;

TEST(IniFile, ReadsKeysCaseInsensitivelyTrimmedFirstWins) {
  IniFile ini = IniFile::FromText(
      "; comment\r\n[other]\r\nComPort=7\r\n[ main ]\r\n  comport =  3  \r\nComPort=5\r\n"
      "Quoted=\"a b\"\r\n");
  EXPECT_EQ(ini.Read("Main", "ComPort", "ERROR"), "3");
  EXPECT_EQ(ini.Read("Main", "Quoted", "ERROR"), "a b");
  EXPECT_EQ(ini.Read("Main", "Missing", "ERROR"), "ERROR");
  EXPECT_EQ(ini.Read("other", "comport", "ERROR"), "7");
}

TEST(IniFile, WriteReplacesOnlyThatLineAndKeepsEveryOtherByte) {
  const std::string original =
      "; my gateway\r\n[Main]\r\nComPort=1\r\nq_mode=1\r\n  ; note\r\nLogDir=C:\\x\r\n\r\n[Ports]\r\nCOM1=/dev/ttyUSB0\r\n";
  IniFile ini = IniFile::FromText(original);
  ini.Write("Main", "ComPort", "3");
  ini.Write("Main", "LogDir", "/var/sms");
  EXPECT_EQ(ini.Text(),
            "; my gateway\r\n[Main]\r\nComPort=3\r\nq_mode=1\r\n  ; note\r\nLogDir=/var/sms\r\n\r\n[Ports]\r\nCOM1=/dev/ttyUSB0\r\n");
}

TEST(IniFile, NewKeysJoinTheirSectionAndNewSectionsTheEnd) {
  IniFile lf = IniFile::FromText("[Main]\nA=1\n\n[Ports]\nCOM1=/x\n");
  lf.Write("Main", "B", "2");
  EXPECT_EQ(lf.Text(), "[Main]\nA=1\nB=2\n\n[Ports]\nCOM1=/x\n");

  IniFile noSection = IniFile::FromText("[Ports]\r\nCOM1=/x");  // no final line break
  noSection.Write("Main", "A", "1");
  EXPECT_EQ(noSection.Text(), "[Ports]\r\nCOM1=/x\r\n[Main]\r\nA=1\r\n");

  IniFile empty;
  empty.Write("Main", "A", "1");
  EXPECT_EQ(empty.Text(), "[Main]\r\nA=1\r\n");
}

TEST(IniFile, SurvivesBinaryAndHugeInput) {
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 37) & 0xFF);
  IniFile ini = IniFile::FromText(binary);
  EXPECT_EQ(ini.Text(), binary);
  EXPECT_EQ(ini.Read("Main", "ComPort", "ERROR"), "ERROR");

  std::string huge = "[Main]\nComPort=4\n";
  huge.reserve(40u << 20);
  while (huge.size() < (40u << 20)) huge += "junk line without equals sign ............................\n";
  IniFile big = IniFile::FromText(huge);
  EXPECT_EQ(big.Read("Main", "ComPort", "ERROR"), "4");
  big.Write("Main", "ComPort", "5");
  EXPECT_EQ(big.Text().size(), huge.size());
}

TEST(IniFile, SaveCreatesReplacesAndRefusesReadOnly) {
  TempDir dir("pdulink-ini");
  std::string path = dir.Path() + "/a.ini";
  IniFile ini = IniFile::FromText("[Main]\r\nA=1\r\n");
  ASSERT_TRUE(ini.SaveTo(path));
  EXPECT_EQ(Slurp(path), "[Main]\r\nA=1\r\n");

  ::chmod(path.c_str(), 0444);
  ini.Write("Main", "A", "2");
  EXPECT_FALSE(ini.SaveTo(path));
  EXPECT_EQ(Slurp(path), "[Main]\r\nA=1\r\n");

  EXPECT_FALSE(ini.SaveTo(dir.Path() + "/no/such/dir/new.ini"));
  EXPECT_FALSE(ini.SaveTo("/proc/pdulink-test.ini"));  // unwritable even for root
}

TEST(IniFile, LoadOfMissingFileIsEmpty) {
  IniFile ini;
  EXPECT_FALSE(ini.Load("/nonexistent/dir/pdulink.ini"));
  EXPECT_EQ(ini.Text(), "");
}

}  // namespace
