#include "Settings.h"

#include <gtest/gtest.h>

namespace {

StartupSettings FromMain(const std::string& keys) {
  return ReadStartupSettings(IniFile::FromText("[Main]\r\n" + keys));
}

struct PortCase {
  const char* value;
  int index;
  bool journalLine;
};

TEST(StartupSettings, ComPortRows) {
  const PortCase cases[] = {{"1", 0, false},  {"10", 9, false}, {"3", 2, false}, {"0", 0, true},
                            {"11", 0, true},  {"-2", 0, true},  {"x", 0, false}, {"", 0, false},
                            {" 4 ", 3, false}, {"4.5", 0, false}};
  for (const PortCase& c : cases) {
    StartupSettings s = FromMain(std::string("ComPort=") + c.value + "\r\n");
    EXPECT_EQ(s.comPortIndex, c.index) << "ComPort=" << c.value;
    EXPECT_EQ(s.comPortOutOfRange, c.journalLine) << "ComPort=" << c.value;
  }
  EXPECT_EQ(FromMain("").comPortIndex, 0);
  EXPECT_FALSE(FromMain("").comPortOutOfRange);
}

TEST(StartupSettings, BaudRateSelectsOnlyOfferedSpeeds) {
  EXPECT_EQ(FromMain("BaudRate=57600\r\n").speedIndex, 3);
  EXPECT_EQ(FromMain("BaudRate=115200\r\n").speedIndex, 4);
  EXPECT_EQ(FromMain("BaudRate=9600\r\n").speedIndex, 0);
  EXPECT_EQ(FromMain("BaudRate=4800\r\n").speedIndex, 1);
  EXPECT_EQ(FromMain("BaudRate=fast\r\n").speedIndex, 1);
  EXPECT_EQ(FromMain("").speedIndex, 1);
}

TEST(StartupSettings, AutomaticModesNeedAutoConnect) {
  StartupSettings off = FromMain("AutoRead=1\r\nAutoSend=1\r\nOffLineMode=1\r\n");
  EXPECT_FALSE(off.autoConnect);
  EXPECT_FALSE(off.autoRead);
  EXPECT_FALSE(off.autoSend);
  EXPECT_FALSE(off.offLine);
  StartupSettings on = FromMain("AutoConnect=1\r\nAutoRead=1\r\nAutoSend=1\r\nOffLineMode=1\r\n");
  EXPECT_TRUE(on.autoConnect);
  EXPECT_TRUE(on.autoRead);
  EXPECT_TRUE(on.autoSend);
  EXPECT_TRUE(on.offLine);
  EXPECT_FALSE(FromMain("AutoConnect=yes\r\n").autoConnect);  // only "1" is on
}

TEST(StartupSettings, BatteryCheckIsOffOnlyForZero) {
  EXPECT_FALSE(FromMain("BatteryCheck=0\r\n").batteryCheck);
  EXPECT_TRUE(FromMain("BatteryCheck=no\r\n").batteryCheck);
  EXPECT_TRUE(FromMain("BatteryCheck=1\r\n").batteryCheck);
  EXPECT_TRUE(FromMain("").batteryCheck);
}

TEST(StartupSettings, IntervalsFallBackBelowOne) {
  EXPECT_EQ(FromMain("PollingInt=0\r\n").pollingInterval, 10);
  EXPECT_EQ(FromMain("PollingInt=-5\r\n").pollingInterval, 10);
  EXPECT_EQ(FromMain("PollingInt=abc\r\n").pollingInterval, 10);
  EXPECT_EQ(FromMain("PollingInt=1\r\n").pollingInterval, 1);
  EXPECT_EQ(FromMain("PollingInt=99999999999\r\n").pollingInterval, 10);  // does not fit
  EXPECT_EQ(FromMain("WatchInt=0\r\n").watchInterval, 20);
  EXPECT_EQ(FromMain("WatchInt=7\r\n").watchInterval, 7);
}

TEST(StartupSettings, DirectoriesOnlyWhenPresentAndErrorMeansMissing) {
  EXPECT_FALSE(FromMain("").logDir.has_value());
  EXPECT_FALSE(FromMain("LogDir=ERROR\r\n").logDir.has_value());
  EXPECT_EQ(FromMain("LogDir=/var/sms\r\n").logDir.value_or("-"), "/var/sms");
  EXPECT_EQ(FromMain("WatchDir=/out/smss*.txt\r\n").watchDir.value_or("-"), "/out/smss*.txt");
}

TEST(StartupSettings, FlagsAndLockedMode) {
  StartupSettings s = FromMain(
      "DOSCodepage=1\r\nRTS=1\r\nDTR=0\r\nDetectSendOptions=1\r\nSoundMode=1\r\n"
      "Append2FileSMSIN=1\r\nInCalls=1\r\nSaveCalls=1\r\nq_mode=1\r\n");
  EXPECT_TRUE(s.dosCodepage);
  EXPECT_TRUE(s.rts);
  EXPECT_FALSE(s.dtr);
  EXPECT_TRUE(s.sendOptions);
  EXPECT_TRUE(s.soundSilent);
  EXPECT_TRUE(s.appendFile);
  EXPECT_TRUE(s.inCalls);
  EXPECT_TRUE(s.saveCalls);
  EXPECT_TRUE(s.lockedMode);
  EXPECT_FALSE(FromMain("q_mode=2\r\n").lockedMode);
}

TEST(SavedSettings, WritesNineteenKeysInOrderAndKeepsQMode) {
  IniFile ini = IniFile::FromText("[Main]\r\nq_mode=1\r\n");
  SavedSettings s;
  s.comPortIndex = 2;
  s.speedText = "57600";
  s.pollingText = "0";  // written as typed; start-up corrects it
  s.watchText = "abc";  // not a number: the default
  s.logDir = "  /var/sms  ";
  s.batteryCheck = false;
  WriteSettings(ini, s);
  EXPECT_EQ(ini.Text(),
            "[Main]\r\nq_mode=1\r\nComPort=3\r\nBaudRate=57600\r\nAutoConnect=0\r\nAutoRead=0\r\n"
            "AutoSend=0\r\nPollingInt=0\r\nWatchInt=20\r\nLogDir=/var/sms\r\nWatchDir=\r\n"
            "DOSCodepage=0\r\nDTR=0\r\nRTS=0\r\nBatteryCheck=0\r\nSoundMode=0\r\n"
            "Append2FileSMSIN=0\r\nOffLineMode=0\r\nDetectSendOptions=0\r\nInCalls=0\r\nSaveCalls=0\r\n");
  EXPECT_EQ(ReadStartupSettings(ini).pollingInterval, 10);
}

TEST(StartupSettings, SimAndSignalKeysAreOptInAndBadValuesIgnored) {
  StartupSettings none = FromMain("");
  EXPECT_FALSE(none.simCheck);
  EXPECT_EQ(none.pin, "");
  EXPECT_FALSE(none.pinIgnored);
  EXPECT_EQ(none.signalInterval, 0);
  EXPECT_FALSE(none.signalIntIgnored);

  StartupSettings on = FromMain("SimCheck=1\r\nPin= 0042 \r\nSignalInt=60\r\n");
  EXPECT_TRUE(on.simCheck);
  EXPECT_EQ(on.pin, "0042");  // leading zeros are part of a PIN
  EXPECT_EQ(on.signalInterval, 60);
  EXPECT_FALSE(FromMain("SimCheck=yes\r\n").simCheck);
  EXPECT_EQ(FromMain("Pin=\"12345678\"\r\n").pin, "12345678");
  EXPECT_FALSE(FromMain("Pin=\r\n").pinIgnored);  // empty: no PIN, nothing to say
  EXPECT_EQ(FromMain("SignalInt=0\r\n").signalInterval, 0);

  for (const char* bad : {"123", "123456789", "12a4", "12 34", "-1234", "ERRORS"}) {
    StartupSettings s = FromMain(std::string("Pin=") + bad + "\r\n");
    EXPECT_EQ(s.pin, "") << bad;
    EXPECT_TRUE(s.pinIgnored) << bad;
  }
  for (const char* bad : {"-5", "ten", "1.5", ""}) {
    StartupSettings s = FromMain(std::string("SignalInt=") + bad + "\r\n");
    EXPECT_EQ(s.signalInterval, 0) << bad;
    EXPECT_TRUE(s.signalIntIgnored) << bad;
  }
}

TEST(SavedSettings, OptInKeysOnlyWhenPresentOrNotDefault) {
  const std::string nineteen =
      "ComPort=1\r\nBaudRate=19200\r\nAutoConnect=0\r\nAutoRead=0\r\nAutoSend=0\r\nPollingInt=10\r\n"
      "WatchInt=20\r\nLogDir=\r\nWatchDir=\r\nDOSCodepage=0\r\nDTR=0\r\nRTS=0\r\nBatteryCheck=1\r\n"
      "SoundMode=0\r\nAppend2FileSMSIN=0\r\nOffLineMode=0\r\nDetectSendOptions=0\r\nInCalls=0\r\nSaveCalls=0\r\n";
  // Defaults: a file without the keys stays without them.
  IniFile plain = IniFile::FromText("[Main]\r\n");
  WriteSettings(plain, SavedSettings{});
  EXPECT_EQ(plain.Text(), "[Main]\r\n" + nineteen);

  // A key the file has is kept up to date even at its default.
  IniFile had = IniFile::FromText("[Main]\r\nsimcheck=1\r\nPin=1234\r\nSignalInt=30\r\nfastmode=1\r\n");
  SavedSettings off;
  off.pin = "  ";
  off.signalText = "x";  // not a number: the default
  WriteSettings(had, off);
  EXPECT_EQ(had.Text(), "[Main]\r\nSimCheck=0\r\nPin=\r\nSignalInt=0\r\nFastMode=0\r\n" + nineteen);
  EXPECT_FALSE(ReadStartupSettings(had).fastMode);

  // Values away from their defaults join the file after the others.
  IniFile fresh = IniFile::FromText("[Main]\r\n");
  SavedSettings on;
  on.simCheck = true;
  on.pin = " 4321 ";
  on.signalText = " 120 ";
  on.fastMode = true;
  WriteSettings(fresh, on);
  EXPECT_EQ(fresh.Text(), "[Main]\r\n" + nineteen + "SimCheck=1\r\nPin=4321\r\nSignalInt=120\r\nFastMode=1\r\n");
  StartupSettings back = ReadStartupSettings(fresh);
  EXPECT_TRUE(back.simCheck);
  EXPECT_EQ(back.pin, "4321");
  EXPECT_EQ(back.signalInterval, 120);
  EXPECT_TRUE(back.fastMode);
}

// The FastMode key is on only for "1"; it is saved like the keys above.
TEST(FastModeKey, OnOnlyForOne) {
  EXPECT_FALSE(FromMain("").fastMode);
  EXPECT_TRUE(FromMain("FastMode=1\r\n").fastMode);
  for (const char* value : {"0", "yes", "", "ERROR"})
    EXPECT_FALSE(FromMain(std::string("FastMode=") + value + "\r\n").fastMode) << value;
}

// Long-message keys: read with their limits, bad values reported and
// replaced by the default, saved only where present or not default.
TEST(LongMessageKeys, ReadLimitsAndSave) {
  EXPECT_EQ(FromMain("").longMessages, LongMessageSettings{});
  StartupSettings s = FromMain("LongSms=1\r\nMaxParts=255\r\nLongSmsRef16=1\r\nJoinParts=1\r\nJoinTimeout=2\r\n");
  EXPECT_EQ(s.longMessages, (LongMessageSettings{true, 255, true, true, 2}));
  EXPECT_FALSE(s.maxPartsIgnored || s.joinTimeoutIgnored);
  for (auto [bad, badHours] : {std::pair{"0", "0"}, {"256", "-1"}, {"x", "x"}, {"", ""}}) {
    std::string keys = "MaxParts=";
    keys.append(bad).append("\r\nJoinTimeout=").append(badHours).append("\r\n");
    s = FromMain(keys);
    EXPECT_EQ(s.longMessages.maxParts, 6) << bad;
    EXPECT_EQ(s.longMessages.joinTimeoutHours, 24) << bad;
    EXPECT_TRUE(s.maxPartsIgnored && s.joinTimeoutIgnored) << bad;
  }

  IniFile plain = IniFile::FromText("[Main]\r\n");
  WriteSettings(plain, SavedSettings{});
  EXPECT_EQ(plain.Text().find("LongSms"), std::string::npos);
  EXPECT_EQ(plain.Text().find("Join"), std::string::npos);
  EXPECT_EQ(plain.Text().find("MaxParts"), std::string::npos);

  IniFile had = IniFile::FromText("[Main]\r\nmaxparts=9\r\nJoinParts=1\r\n");
  SavedSettings saved;
  saved.longMessages = ReadStartupSettings(had).longMessages;
  saved.longMessages.joinParts = false;
  saved.longMessages.joinTimeoutHours = 48;
  WriteSettings(had, saved);
  EXPECT_EQ(had.Text().substr(0, 33), "[Main]\r\nMaxParts=9\r\nJoinParts=0\r\n");
  EXPECT_NE(had.Text().find("SaveCalls=0\r\nJoinTimeout=48\r\n"), std::string::npos);
  EXPECT_EQ(had.Text().find("LongSms"), std::string::npos);
  EXPECT_EQ(ReadStartupSettings(had).longMessages, (LongMessageSettings{false, 9, false, false, 48}));
}

// Utf8Files: on only for "1", saved only where present or on.
TEST(Utf8FilesKey, ReadAndSave) {
  EXPECT_FALSE(FromMain("").utf8Files);
  EXPECT_TRUE(FromMain("Utf8Files=1\r\n").utf8Files);
  EXPECT_FALSE(FromMain("Utf8Files=yes\r\n").utf8Files);
  IniFile plain = IniFile::FromText("[Main]\r\n");
  WriteSettings(plain, SavedSettings{});
  EXPECT_EQ(plain.Text().find("Utf8Files"), std::string::npos);
  SavedSettings on;
  on.utf8Files = true;
  WriteSettings(plain, on);
  EXPECT_TRUE(ReadStartupSettings(plain).utf8Files);
  IniFile had = IniFile::FromText("[Main]\r\nUtf8Files=1\r\n");
  WriteSettings(had, SavedSettings{});
  EXPECT_NE(had.Text().find("Utf8Files=0\r\n"), std::string::npos);
}

}  // namespace

// ShiftTables: the languages in order, a bad name reported with none used,
// saved only where present or not empty.
TEST(ShiftTablesKey, ReadBadNameAndSave) {
  EXPECT_TRUE(FromMain("").shiftTables.empty());
  StartupSettings s = FromMain("ShiftTables=tr, pt,hindi\r\n");
  EXPECT_EQ((std::vector<std::uint8_t>{1, 3, 6}), s.shiftTables);
  EXPECT_EQ("", s.shiftTablesBad);
  s = FromMain("ShiftTables=tr,xx\r\n");
  EXPECT_TRUE(s.shiftTables.empty());
  EXPECT_EQ("xx", s.shiftTablesBad);

  IniFile plain = IniFile::FromText("[Main]\r\n");
  WriteSettings(plain, SavedSettings{});
  EXPECT_EQ(plain.Text().find("ShiftTables"), std::string::npos);
  SavedSettings saved;
  saved.shiftTables = {1, 2};
  WriteSettings(plain, saved);
  EXPECT_NE(plain.Text().find("ShiftTables=tr,es\r\n"), std::string::npos);
}
