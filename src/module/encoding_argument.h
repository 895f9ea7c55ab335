// The encoding= argument of the tensor methods: a policy encoding by name.
#pragma once

#include "encoding/encoding.h"
#include "module/arguments.h"

namespace orvex::py {

// Reads the name of a policy encoding ("az" or "lc0"). A non-str sets
// TypeError and an unknown name ValueError listing the known ones.
bool read_encoding(const Signature& sig, const char* parameter, PyObject* value, Encoding& out);

}  // namespace orvex::py
