// A strict look at a JSON request body before the JSON reader takes it:
// what that reader would let through but a request must not have. Pure.
#pragma once

#include <QByteArray>

#include "ApiError.h"

namespace pdulink::web {

// Raw control characters in a string, a key twice in one object, a \u escape
// of half a surrogate pair: 400 naming the field ("text", "to[1]"); no
// error for anything else (malformed JSON is the reader's to report).
ApiError CheckJsonStrictly(const QByteArray& body);

}  // namespace pdulink::web
