// orvex_tools.MCTS: the batched search over a ChessEnv's games
// (search/batched_search.h), with the network called back in Python.
#pragma once

#include "module/python.h"

namespace orvex::py {

// Adds the MCTS type (and its output type) to the module; false with an
// error set.
bool add_search_types(PyObject* module);

}  // namespace orvex::py
