#include "AnsiText.h"

#include "codepage.h"

QString FromAnsi(const std::string& cp1251) {
  std::u16string wide = pdulink::AnsiToWide(cp1251);
  return QString::fromUtf16(wide.data(), static_cast<qsizetype>(wide.size()));
}

std::string ToAnsi(const QString& text) {
  return pdulink::WideToAnsi(
      std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size())));
}

std::string LocalToAnsi(const std::string& local) {
  return ToAnsi(QString::fromLocal8Bit(local.data(), static_cast<qsizetype>(local.size())));
}
