// Instance layouts and class objects of the module's three classes.
#pragma once

#include <cstdint>

#include "access.hpp"
#include "compat.hpp"
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

// Class objects, created once per process by the module's initialisation.
struct ModuleClasses {
    PyTypeObject* protocol = nullptr;
    PyTypeObject* channel = nullptr;
    PyTypeObject* coil = nullptr;
};
extern ModuleClasses g_classes;

// New reference to a fresh class object; nullptr with an error set.
PyObject* create_protocol_class();
PyObject* create_channel_class();
PyObject* create_coil_class();

// The receiver of a Protocol method; TypeError when it is not a Protocol.
ProtocolObject& protocol_receiver(PyObject* self);

// A Coil or Channel argument: its value, with shared access held to it for
// the rest of the call.
struct EnumArgument {
    std::uint8_t value;
    SharedAccess access;
};
EnumArgument arg_channel(PyObject* obj, const char* name);
EnumArgument arg_coil(PyObject* obj, const char* name);

}  // namespace pyvexa
