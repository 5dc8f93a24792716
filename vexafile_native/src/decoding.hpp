// Decoding a whole protocol file from Python's arguments: the bytes of a
// buffer, or what a file descriptor yields. Bytes that are not a protocol
// file are raised as classes["VexaFormatError"](kind, offset, message).
#pragma once

#include "boundary.hpp"
#include "protocols/settings.hpp"

namespace vexafile_native {

// TypeError unless `classes` is a dict.
void check_classes(PyObject* classes);

protocols::settings::Settings decode_buffer(PyObject* data, PyObject* classes);
protocols::settings::Settings decode_fd(PyObject* fd, PyObject* classes);

}  // namespace vexafile_native
