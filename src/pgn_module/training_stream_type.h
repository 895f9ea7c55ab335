// orvex_tools._pgn.TrainingStream: the native side of
// orvex_tools.training_batches.
#pragma once

#include "module/python.h"

namespace orvex::py {

// Adds the type to the module; false with an error set.
bool add_training_stream_type(PyObject* module);

}  // namespace orvex::py
