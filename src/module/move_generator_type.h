// The Python class MoveGenerator.
#pragma once

#include "module/python.h"

namespace orvex::py {

// Returns the MoveGenerator type, creating it on first need; null with an
// error set if it cannot be created. The type lives as long as the process.
PyTypeObject* move_generator_type();

}  // namespace orvex::py
