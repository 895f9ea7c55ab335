// Argument extraction for the methods of the module, by position or keyword.
#pragma once

#include <initializer_list>
#include <string_view>

#include "module/owned_ref.h"
#include "module/python.h"

namespace orvex::py {

// Describes the parameters of one callable: its name for messages, the
// parameter names, and how many of them are required.
struct Signature {
  const char* function;
  std::initializer_list<const char*> parameters;
  Py_ssize_t required;
};

// Fills out[i] with a borrowed reference to parameter i, or null when an
// optional one was not given. Returns false with TypeError set on a missing,
// unexpected, repeated or surplus argument.
bool extract_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames, PyObject** out);
bool extract_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Checks that an argument is a str; sets TypeError naming the parameter if not.
bool require_str(const Signature& sig, const char* parameter, PyObject* value);

// A str argument and its UTF-8 text, which stays valid while this lives.
struct TextArgument {
  PyObject* object = nullptr;
  std::string_view text;
  OwnedRef keep;
  // A shortened copy of object that text was read from instead, if any.
  OwnedRef keep_head;
};

// Extracts the single required str parameter of sig and reads its text.
// Returns false with TypeError (or the encoding error) set.
bool extract_text(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                  PyObject* kwnames, TextArgument& out);

// The same for a text that is refused when longer than longest code points: a
// longer one is cut to the part an error message shows (one character more
// than it quotes) before it is decoded, so that a huge argument costs no more
// than a short one. The cut text is still longer than longest.
bool extract_short_text(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames, Py_ssize_t longest, TextArgument& out);

// Reads a str as UTF-8; lone surrogates are kept as their three-byte form.
// keep holds any temporary the text points into. Returns false with an error.
bool utf8_text(PyObject* str, std::string_view& text, OwnedRef& keep);

}  // namespace orvex::py
