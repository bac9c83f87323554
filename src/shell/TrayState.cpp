#include "TrayState.h"

#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

#include "AnsiText.h"

namespace {

// A handset outline whose screen colour tells the state; index 1 also
// shows a small data arrow so 1 and 2 differ while they alternate.
QPixmap Paint(unsigned index) {
  QPixmap pm(32, 32);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  static const QColor screens[6] = {QColor(0x80, 0x80, 0x80), QColor(0x00, 0xC0, 0x00),
                                    QColor(0x00, 0x80, 0x00), QColor(0xFF, 0xC0, 0x00),
                                    QColor(0xE0, 0x00, 0x00), QColor(0x40, 0x40, 0xFF)};
  p.setPen(QPen(Qt::black, 2));
  p.setBrush(QColor(0x30, 0x30, 0x30));
  p.drawRoundedRect(QRectF(8, 2, 16, 28), 4, 4);
  p.setPen(Qt::NoPen);
  p.setBrush(screens[index % 6]);
  p.drawRect(QRectF(11, 6, 10, 10));
  if (index == 1) {
    p.setBrush(Qt::white);
    const QPointF arrow[3] = {QPointF(13, 9), QPointF(19, 9), QPointF(16, 14)};
    p.drawPolygon(arrow, 3);
  }
  if (index == 4) {
    p.setPen(QPen(Qt::white, 2));
    p.drawLine(QPointF(12, 7), QPointF(20, 15));
    p.drawLine(QPointF(20, 7), QPointF(12, 15));
  }
  return pm;
}

}  // namespace

QIcon TrayState::StateImage(unsigned index) { return QIcon(Paint(index)); }

TrayState::TrayState(QObject* parent) : icon_(new QSystemTrayIcon(parent)) {
  icon_->setObjectName(QStringLiteral("rxTrayI"));
  icon_->setIcon(StateImage(0));
}

void TrayState::SetTrayState(unsigned index, const std::string& hint) {
  index_ = index;
  QIcon& image = images_[index % images_.size()];
  if (image.isNull()) image = StateImage(index);
  icon_->setIcon(image);
  hint_ = FromAnsi(hint);
  ShowToolTip();
}

void TrayState::SetSignal(const std::string& text) {
  signal_ = FromAnsi(text);
  ShowToolTip();
}

void TrayState::ShowToolTip() {
  icon_->setToolTip(signal_.isEmpty() ? hint_ : hint_ + QStringLiteral("\n") + signal_);
}

QString TrayState::Hint() const { return hint_; }

QString TrayState::ToolTip() const { return icon_->toolTip(); }
