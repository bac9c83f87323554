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
  QSystemTrayIcon* Icon() const { return icon_; }
  static QIcon StateImage(unsigned index);

 private:
  QSystemTrayIcon* icon_;
  unsigned index_ = 0;
};
