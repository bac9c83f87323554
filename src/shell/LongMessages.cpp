#include "LongMessages.h"

#include "AnsiText.h"
#include "sms_concat.h"

namespace {
pdulink::PartCount Count(const QString& text, bool ref16, bool utf8, const std::vector<std::uint8_t>& shift) {
  return utf8 ? pdulink::CountParts(text.toStdString(), ref16, true, shift)
              : pdulink::CountParts(ToAnsi(text), ref16);
}
int PartsOf(const QString& text, bool ref16, bool utf8, const std::vector<std::uint8_t>& shift) {
  return Count(text, ref16, utf8, shift).parts;
}
}  // namespace

qsizetype LongBodyFit(const QString& text, const LongMessageSettings& lm, bool utf8,
                      const std::vector<std::uint8_t>& shiftTables) {
  if (PartsOf(text, lm.ref16, utf8, shiftTables) <= lm.maxParts) return text.size();
  // The parts only grow with the text: the longest fitting beginning.
  qsizetype low = 0, high = text.size();  // low fits, high does not
  while (high - low > 1) {
    const qsizetype mid = low + (high - low) / 2;
    if (PartsOf(text.left(mid), lm.ref16, utf8, shiftTables) <= lm.maxParts) low = mid;
    else high = mid;
  }
  if (low > 0 && text.at(low - 1).isHighSurrogate()) --low;
  return low;
}

QString LongBodyCount(const QString& text, const LongMessageSettings& lm, bool utf8,
                      const std::vector<std::uint8_t>& shiftTables) {
  const pdulink::PartCount c = Count(text, lm.ref16, utf8, shiftTables);
  return QString::number(c.characters) + QStringLiteral(" chars, ") + QString::number(c.parts) +
         (c.parts == 1 ? QStringLiteral(" part") : QStringLiteral(" parts"));
}
