// The one exception type of the core: a broken internal check.
#pragma once

#include <stdexcept>
#include <string>

namespace orvex {

// Thrown by the core when an internal check fails; the binding layer turns it
// into PanicException before any object has been changed.
class Panic : public std::runtime_error {
 public:
  explicit Panic(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace orvex
