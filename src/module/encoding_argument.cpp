#include "module/encoding_argument.h"

#include <string>

#include "base/excerpt.h"
#include "module/errors.h"

namespace orvex::py {

bool read_encoding(const Signature& sig, const char* parameter, PyObject* value, Encoding& out) {
  if (!require_str(sig, parameter, value)) return false;
  std::string_view name;
  OwnedRef keep;
  if (!utf8_text(value, name, keep)) return false;
  if (const std::optional<Encoding> found = encoding_named(name)) {
    out = *found;
    return true;
  }
  std::string detail = "'";
  detail += excerpt(name);
  detail += "'; the encodings are";
  for (Encoding e : kEncodings) {
    detail += e == kEncodings.front() ? " '" : ", '";
    detail += encoding_name(e);
    detail += "'";
  }
  set_value_error("Unknown encoding: ", detail);
  return false;
}

}  // namespace orvex::py
