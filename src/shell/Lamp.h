#pragma once
// The status lamp: a small rounded rectangle in one of a few fixed colours.
#include <QWidget>

enum class LampColor { Grey, Red, Yellow, Lime, Green };

class Lamp : public QWidget {
  Q_OBJECT
 public:
  explicit Lamp(QWidget* parent = nullptr);
  LampColor Color() const { return color_; }
  void SetColor(LampColor color);
  QSize sizeHint() const override { return {18, 9}; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  LampColor color_ = LampColor::Grey;
};
