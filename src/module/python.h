// The one way the binding layer includes the Python C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
