// Instance layouts of the module's three classes, and the receiver and
// argument checks against them.
#pragma once

#include <cstdint>

#include "access.hpp"
#include "convert.hpp"
#include "glue.hpp"
#include "module_state.hpp"
#include "protocols/settings.hpp"

namespace pyvexa {

// An instance of Coil or Channel: one small value, fixed at creation.
struct EnumObject {
    PyObject_HEAD
    AccessFlag access;
    std::uint8_t value;
};

// A Protocol instance owns its record for its whole life.
struct ProtocolObject {
    PyObject_HEAD
    AccessFlag access;
    bool record_built;  // false (zeroed) until `record` is constructed
    protocols::Protocol record;
};

// A fresh class object each; throw PythonErrorSet (error set) on failure.
PyRef create_protocol_class();
PyRef create_channel_class();
PyRef create_coil_class();

// The receiver of a Protocol method; TypeError when it is not a Protocol.
inline ProtocolObject& protocol_receiver(PyObject* self) {
    if (!PyObject_TypeCheck(self, state::classes().protocol)) raise_cast_error(self, "Protocol");
    return *reinterpret_cast<ProtocolObject*>(self);
}

// A Coil or Channel argument: its value, with shared access held to it for
// the rest of the call.
struct EnumArgument {
    std::uint8_t value;
    Access<Shared> access;
};
EnumArgument arg_channel(PyObject* obj, const char* name);
EnumArgument arg_coil(PyObject* obj, const char* name);

}  // namespace pyvexa
