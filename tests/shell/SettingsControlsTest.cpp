// Settings to controls and back, on the controls alone (no window class).
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMainWindow>

#include "Controls.h"
#include "FormState.h"
#include "Settings.h"
#include "SettingsControls.h"
#include "WindowLayout.h"

namespace {

struct Bare {
  QMainWindow window;
  Controls ui;
  FormState state;
  Bare() { BuildControls(&window, ui); }
};

TEST(SettingsControls, EveryKeyRoundTripsThroughTheControls) {
  const std::string keys =
      "[Main]\r\nComPort=4\r\nBaudRate=57600\r\nAutoConnect=1\r\nAutoRead=1\r\nAutoSend=1\r\n"
      "PollingInt=7\r\nWatchInt=9\r\nLogDir=/var/spool/in\r\nWatchDir=/var/spool/out/sms*.txt\r\n"
      "DOSCodepage=1\r\nDTR=1\r\nRTS=1\r\nBatteryCheck=0\r\nSoundMode=1\r\nAppend2FileSMSIN=1\r\n"
      "OffLineMode=1\r\nDetectSendOptions=1\r\nInCalls=1\r\nSaveCalls=1\r\n";
  IniFile in = IniFile::FromText(keys);
  Bare b;
  ShowSettings(b.ui, b.state, ReadStartupSettings(in));
  EXPECT_EQ(b.state.PollingInterval, 7);
  EXPECT_EQ(b.state.WatchInterval, 9);
  EXPECT_FALSE(b.ui.cb_smstype->isEnabled());  // auto read locks the list type

  IniFile out = IniFile::FromText("[Main]\r\n");
  WriteSettings(out, CollectSettings(b.ui));
  // What Save writes back reads as the same settings.
  StartupSettings a = ReadStartupSettings(in), c = ReadStartupSettings(out);
  EXPECT_EQ(out.Text(), IniFile::FromText(out.Text()).Text());
  EXPECT_TRUE(a.offLine && a.soundSilent && a.appendFile && a.sendOptions && a.dosCodepage);  // the input is not all defaults
  EXPECT_EQ(a.comPortIndex, c.comPortIndex);
  EXPECT_EQ(a.speedIndex, c.speedIndex);
  EXPECT_EQ(a.autoConnect, c.autoConnect);
  EXPECT_EQ(a.autoRead, c.autoRead);
  EXPECT_EQ(a.autoSend, c.autoSend);
  EXPECT_EQ(a.offLine, c.offLine);
  EXPECT_EQ(a.dosCodepage, c.dosCodepage);
  EXPECT_EQ(a.dtr, c.dtr);
  EXPECT_EQ(a.rts, c.rts);
  EXPECT_EQ(a.batteryCheck, c.batteryCheck);
  EXPECT_EQ(a.soundSilent, c.soundSilent);
  EXPECT_EQ(a.appendFile, c.appendFile);
  EXPECT_EQ(a.sendOptions, c.sendOptions);
  EXPECT_EQ(a.inCalls, c.inCalls);
  EXPECT_EQ(a.saveCalls, c.saveCalls);
  EXPECT_EQ(a.pollingInterval, c.pollingInterval);
  EXPECT_EQ(a.watchInterval, c.watchInterval);
  EXPECT_EQ(a.logDir, c.logDir);
  EXPECT_EQ(a.watchDir, c.watchDir);
}

TEST(SettingsControls, AbsentKeysLeaveTheLayoutDefaults) {
  Bare b;
  const bool bat = b.ui.cb_bat->isChecked();
  const QString logDir = b.ui.ed_LogDir->text(), watchDir = b.ui.Ed_watchDir->text();
  ShowSettings(b.ui, b.state, ReadStartupSettings(IniFile::FromText("[Main]\r\n")));
  EXPECT_EQ(b.ui.cb_bat->isChecked(), bat);
  EXPECT_EQ(b.ui.ed_LogDir->text(), logDir);
  EXPECT_EQ(b.ui.Ed_watchDir->text(), watchDir);
  EXPECT_EQ(b.ui.ed_polint->text(), QStringLiteral("10"));
  EXPECT_EQ(b.ui.Ed_watchInt->text(), QStringLiteral("20"));
  EXPECT_TRUE(b.ui.cb_smstype->isEnabled());
}

}  // namespace
