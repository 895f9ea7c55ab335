// A value or the message that says why the input could not be read.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace orvex {

struct ParseError {
  std::string message;
};

template <class T>
class Parsed {
 public:
  Parsed(T value) : content_(std::move(value)) {}
  Parsed(ParseError error) : content_(std::move(error)) {}

  bool ok() const { return std::holds_alternative<T>(content_); }
  T& value() { return std::get<T>(content_); }
  const T& value() const { return std::get<T>(content_); }
  const std::string& error() const { return std::get<ParseError>(content_).message; }

 private:
  std::variant<T, ParseError> content_;
};

}  // namespace orvex
