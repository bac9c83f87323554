#include "StrictJson.h"

#include <QString>
#include <QStringList>

namespace pdulink::web {

namespace {

constexpr int kMaxDepth = 64;

// A walk over JSON text that stops quietly at anything malformed.
class StrictJson {
 public:
  explicit StrictJson(const QByteArray& text) : p_(text.constData()), end_(p_ + text.size()) {}
  ApiError Check() {
    Value("body");
    return error_;
  }

 private:
  void Blank() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  bool At(char c) const { return p_ < end_ && *p_ == c; }
  bool Fail(const QString& field, const QString& message) {
    error_ = Refuse(400, field, message);
    return false;
  }
  static int Hex4(const char* p) {
    int v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = p[i];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= c - '0';
      else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
      else return -1;
    }
    return v;
  }
  // A \u escape at p_ (a surrogate pair: both escapes), its character
  // appended to *raw as UTF-8. false: stop.
  bool UnicodeEscape(const QString& field, QByteArray* raw) {
    if (end_ - p_ < 6) return false;
    const int unit = Hex4(p_ + 2);
    if (unit < 0) return false;
    p_ += 6;
    char32_t code = static_cast<char32_t>(unit);
    if (unit >= 0xDC00 && unit <= 0xDFFF) return Fail(field, "a \\u escape of half a character (unpaired surrogate)");
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      const int low = (end_ - p_ >= 6 && p_[0] == '\\' && p_[1] == 'u') ? Hex4(p_ + 2) : -1;
      if (low < 0xDC00 || low > 0xDFFF) return Fail(field, "a \\u escape of half a character (unpaired surrogate)");
      p_ += 6;
      code = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (static_cast<char32_t>(low) - 0xDC00);
    }
    raw->append(QString::fromUcs4(&code, 1).toUtf8());
    return true;
  }
  // A string at p_ ('"'); its decoded text in *out. false: stop.
  bool String(const QString& field, QString* out) {
    ++p_;
    QByteArray raw;
    while (p_ < end_ && *p_ != '"') {
      const unsigned char c = static_cast<unsigned char>(*p_);
      if (c < 0x20) return Fail(field, "a control character must be escaped (\\n, \\u0000)");
      if (c != '\\') {
        raw.append(static_cast<char>(c));
        ++p_;
        continue;
      }
      if (end_ - p_ < 2) return false;
      if (p_[1] != 'u') {
        raw.append(p_, 2);
        p_ += 2;
        continue;
      }
      if (!UnicodeEscape(field, &raw)) return false;
    }
    if (p_ >= end_) return false;
    ++p_;
    if (out) *out = QString::fromUtf8(raw);
    return true;
  }
  // The members of an object or the items of an array, from its opening
  // bracket at p_ to `close`: each read by item(i), commas between them.
  template <typename Item>
  bool Sequence(char close, Item item) {
    ++p_;
    Blank();
    if (At(close)) {
      ++p_;
      return true;
    }
    for (int i = 0;; ++i) {
      if (!item(i)) return false;
      Blank();
      if (At(',')) {
        ++p_;
        continue;
      }
      if (At(close)) {
        ++p_;
        return true;
      }
      return false;
    }
  }
  // An object at p_ ('{'): its keys once each, members named field.key.
  bool Object(const QString& field) {
    QStringList keys;
    return Sequence('}', [&](int) {
      Blank();
      QString key;
      if (!At('"') || !String(field == "body" ? QString("body") : field, &key)) return false;
      const QString inner = field == "body" ? key : field + "." + key;
      if (keys.contains(key)) return Fail(inner, "given twice");
      keys.append(key);
      Blank();
      if (!At(':')) return false;
      ++p_;
      return Value(inner);
    });
  }
  // An array at p_ ('['): its items named field[i].
  bool Array(const QString& field) {
    return Sequence(']', [&](int i) { return Value(QString("%1[%2]").arg(field).arg(i)); });
  }
  // A number, true, false or null: skipped up to where it ends.
  void Scalar() {
    while (p_ < end_ && *p_ != ',' && *p_ != '}' && *p_ != ']' && *p_ != ' ' && *p_ != '\n' && *p_ != '\r' &&
           *p_ != '\t')
      ++p_;
  }
  bool Value(const QString& field) {
    if (++depth_ > kMaxDepth) return false;
    Blank();
    if (p_ >= end_) return false;
    bool ok = true;
    if (*p_ == '"') ok = String(field, nullptr);
    else if (*p_ == '{') ok = Object(field);
    else if (*p_ == '[') ok = Array(field);
    else Scalar();
    --depth_;
    return ok;
  }

  const char* p_;
  const char* end_;
  int depth_ = 0;
  ApiError error_;
};

}  // namespace

ApiError CheckJsonStrictly(const QByteArray& body) { return StrictJson(body).Check(); }

}  // namespace pdulink::web
