// Compiled only by a test that expects the compilation to fail: the model
// library has no Python include path.
#include <Python.h>
#include "protocols/settings.hpp"
