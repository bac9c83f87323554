#pragma once
// The tray icon with its six state images; the program shows images 1..4:
// 1/2 alternate while data arrives, 2 connected, 3 connecting or connection
// lost, 4 not connected, disconnected or low battery.
#include <QIcon>
#include <QString>
#include <array>
#include <string>

class QSystemTrayIcon;
class QObject;

class TrayState {
 public:
  explicit TrayState(QObject* parent);
  void SetTrayState(unsigned index, const std::string& hint);
  unsigned Index() const { return index_; }
  QString Hint() const;
  // The latest signal (for example "Signal: -71 dBm (21/31), BER 0") as a
  // second line of the tooltip; empty leaves the hint alone.
  void SetSignal(const std::string& text);
  QString ToolTip() const;
  QSystemTrayIcon* Icon() const { return icon_; }
  static QIcon StateImage(unsigned index);

 private:
  QSystemTrayIcon* icon_;
  unsigned index_ = 0;
  // The state images, painted once each (1 and 2 alternate with every
  // burst the phone sends).
  std::array<QIcon, 6> images_;
  QString hint_, signal_;
  void ShowToolTip();
};
