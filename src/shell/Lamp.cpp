#include "Lamp.h"

#include <QPainter>

Lamp::Lamp(QWidget* parent) : QWidget(parent) { setFixedSize(18, 9); }

void Lamp::SetColor(LampColor color) {
  if (color_ == color) return;
  color_ = color;
  update();
}

void Lamp::paintEvent(QPaintEvent*) {
  QColor fill;
  switch (color_) {
    case LampColor::Grey: fill = QColor(0xC0, 0xC0, 0xC0); break;
    case LampColor::Red: fill = QColor(0xFF, 0x00, 0x00); break;
    case LampColor::Yellow: fill = QColor(0xFF, 0xFF, 0x00); break;
    case LampColor::Lime: fill = QColor(0x00, 0xFF, 0x00); break;
    case LampColor::Green: fill = QColor(0x00, 0x80, 0x00); break;
  }
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(Qt::black, 1));
  p.setBrush(fill);
  p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
}
