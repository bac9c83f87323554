#include "FormState.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QToolButton>

#include "Controls.h"

void EnableReadSettings(Controls& ui, const FormState& state, bool enabled) {
  bool on = enabled && !state.LockedMode;
  for (QWidget* w : {static_cast<QWidget*>(ui.ed_polint), static_cast<QWidget*>(ui.ed_LogDir),
                     static_cast<QWidget*>(ui.cb_dos), static_cast<QWidget*>(ui.cb_appendfile)})
    w->setEnabled(on);
}

void EnableWatchSettings(Controls& ui, const FormState& state, bool enabled) {
  bool on = enabled && !state.LockedMode;
  ui.Ed_watchInt->setEnabled(on);
  ui.Ed_watchDir->setEnabled(on);
}

void LockControls(QWidget* window) {
  static const QStringList keep = {QStringLiteral("sb_connect"), QStringLiteral("b_abort"),
                                   QStringLiteral("b_disconnect"), QStringLiteral("b_exit"),
                                   QStringLiteral("b_log2clip")};
  for (QWidget* w : window->findChildren<QWidget*>()) {
    const QString name = w->objectName();
    // Only the window's own controls; Qt's inner parts (the spin box's line
    // edit, the tab bar's scroll buttons) have no name or a "qt_" one.
    if (name.isEmpty() || name.startsWith(QLatin1String("qt_"))) continue;
    bool isButton = qobject_cast<QPushButton*>(w) || qobject_cast<QToolButton*>(w);
    bool lockable = isButton || qobject_cast<QCheckBox*>(w) || qobject_cast<QLineEdit*>(w) ||
                    qobject_cast<QComboBox*>(w) || qobject_cast<QSpinBox*>(w);
    if (!lockable) continue;
    if (isButton && keep.contains(name.toLower())) continue;
    w->setEnabled(false);
  }
}

std::string InBaseDir(const FormState& state, const std::string& name) {
  if (state.BaseDir.empty() || name.find('/') != std::string::npos) return name;
  std::string dir = state.BaseDir;
  if (dir.back() != '/') dir += '/';
  return dir + name;
}
