#include "LongMessages.h"

#include "AnsiText.h"
#include "sms_concat.h"

namespace {
int PartsOf(const QString& text, bool ref16) { return pdulink::CountParts(ToAnsi(text), ref16).parts; }
}  // namespace

qsizetype LongBodyFit(const QString& text, const LongMessageSettings& lm) {
  if (PartsOf(text, lm.ref16) <= lm.maxParts) return text.size();
  // The parts only grow with the text: the longest fitting beginning.
  qsizetype low = 0, high = text.size();  // low fits, high does not
  while (high - low > 1) {
    const qsizetype mid = low + (high - low) / 2;
    if (PartsOf(text.left(mid), lm.ref16) <= lm.maxParts) low = mid;
    else high = mid;
  }
  if (low > 0 && text.at(low - 1).isHighSurrogate()) --low;
  return low;
}

QString LongBodyCount(const QString& text, const LongMessageSettings& lm) {
  const pdulink::PartCount c = pdulink::CountParts(ToAnsi(text), lm.ref16);
  return QString::number(c.characters) + QStringLiteral(" chars, ") + QString::number(c.parts) +
         (c.parts == 1 ? QStringLiteral(" part") : QStringLiteral(" parts"));
}
