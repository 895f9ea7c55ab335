// The functions of orvex_tools._pgn that the dataset builder calls on a chunk
// of PGN text: its rows as arrays, where its games may be cut, and the
// messages of the games that fail.
#pragma once

#include <span>

#include "module/python.h"

namespace orvex::py {

std::span<PyMethodDef> chunk_functions();

}  // namespace orvex::py
