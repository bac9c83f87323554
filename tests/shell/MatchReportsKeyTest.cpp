// The opt-in key MatchReports: read at start, written by Save.
#include <gtest/gtest.h>

#include "Settings.h"

namespace {

// MatchReports: on only for "1", saved only where present or on.
TEST(MatchReportsKey, ReadAndSave) {
  EXPECT_FALSE(ReadMatchReports(IniFile::FromText("[Main]\r\n")));
  EXPECT_TRUE(ReadMatchReports(IniFile::FromText("[Main]\r\nMatchReports=1\r\n")));
  EXPECT_FALSE(ReadMatchReports(IniFile::FromText("[Main]\r\nMatchReports=on\r\n")));
  EXPECT_FALSE(ReadMatchReports(IniFile::FromText("[Other]\r\nMatchReports=1\r\n")));
  IniFile plain = IniFile::FromText("[Main]\r\n");
  WriteSettings(plain, SavedSettings{});
  EXPECT_EQ(plain.Text().find("MatchReports"), std::string::npos);
  SavedSettings on;
  on.matchReports = true;
  WriteSettings(plain, on);
  EXPECT_TRUE(ReadMatchReports(plain));
  IniFile had = IniFile::FromText("[Main]\r\nMatchReports=1\r\n");
  WriteSettings(had, SavedSettings{});
  EXPECT_NE(had.Text().find("MatchReports=0\r\n"), std::string::npos);
}

}  // namespace
