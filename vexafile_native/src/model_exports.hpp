// The model as the C++ records define it, for vexafile's Python copy of it
// to be held to:
//   RECORD_FIELDS: dict[str, tuple[str, ...]], each record reachable from
//     Settings by its name, with its field names in declaration order;
//   SIGNAL_VARIANTS: tuple[str, ...], the Signal variants' names by number;
//   SIGNAL_PARAMETERS: tuple[str, ...], each variant's parameter record;
//   CONSTANTS: dict[str, float | int], the sampling rate, the full-scale
//     sample and the setters' limits, by the names of vexafile._model.
#pragma once

#include "boundary.hpp"

namespace vexafile_native {

// Adds the four attributes above to `module`; throws on failure.
void add_model_exports(PyObject* module);

}  // namespace vexafile_native
