// The function of orvex_tools._pgn that writes a game's movetext for
// orvex_tools.write_games.
#pragma once

#include <span>

#include "module/python.h"

namespace orvex::py {

std::span<PyMethodDef> movetext_functions();

}  // namespace orvex::py
