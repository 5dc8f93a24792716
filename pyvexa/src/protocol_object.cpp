// The Protocol class: construction, destruction, text form and the method
// table (its order is the order of the class dictionary).
#include <new>
#include <string>
#include <utility>

#include "args.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "methods.hpp"
#include "objects.hpp"
#include "pyref.hpp"
#include "protocols/text.hpp"

namespace pyvexa {

ModuleClasses g_classes;

namespace {

Params<0> kNewParams{"Protocol.__new__()", {}, 0};

PyObject* protocol_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
        match_tuple_dict(kNewParams.list(), args, kwargs, nullptr);
        protocols::Protocol record;  // reads VEXA_TARGET_MACHINE now
        record.settings.signals.clear();
        // Owned from here: should the move below throw (it allocates), the
        // object is freed without a record to destroy.
        PyRef obj = checked(type->tp_alloc(type, 0));
        auto* protocol = reinterpret_cast<ProtocolObject*>(obj.get());
        new (&protocol->access) AccessFlag();
        new (&protocol->record) protocols::Protocol(std::move(record));
        protocol->record_built = true;
        return obj.release();
    });
}

void protocol_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* protocol = reinterpret_cast<ProtocolObject*>(self);
    if (protocol->record_built) protocol->record.~Protocol();
    protocol->access.~AccessFlag();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* protocol_str(PyObject* self) {
    return boundary([&]() -> PyObject* {
        ProtocolObject& protocol = protocol_receiver(self);
        SharedAccess access(protocol.access);
        std::string text = protocols::text::to_text(protocol.record);
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef kMethods[] = {
    {"set_stimulation_intensity", as_cfunction(methods::set_stimulation_intensity), kFastCall,
     "set_stimulation_intensity($self, intensity)\n--\n\n"},
    {"set_session_duration", as_cfunction(methods::set_session_duration), kFastCall,
     "set_session_duration($self, duration)\n--\n\n"},
    {"enable_channel", as_cfunction(methods::enable_channel), kFastCall, "enable_channel($self, channel)\n--\n\n"},
    {"set_amplitude_source", as_cfunction(methods::set_amplitude_source), kFastCall,
     "set_amplitude_source($self, coil, index, external=False)\n--\n\n"},
    {"set_modulation_source", as_cfunction(methods::set_modulation_source), kFastCall,
     "set_modulation_source($self, channel, index, external=False)\n--\n\n"},
    {"add_constant_signal", as_cfunction(methods::add_constant_signal), kFastCall,
     "add_constant_signal($self, value)\n--\n\n"},
    {"add_sine_signal", as_cfunction(methods::add_sine_signal), kFastCall,
     "add_sine_signal($self, amplitude, frequency, phase=0.0, depth=1.0)\n--\n\n"},
    {"add_ramp_signal", as_cfunction(methods::add_ramp_signal), kFastCall,
     "add_ramp_signal($self, peak, up_duration, down_duration)\n--\n\n"},
    {"add_mixed_signal", as_cfunction(methods::add_mixed_signal), kFastCall,
     "add_mixed_signal($self, a_idx, b_idx)\n--\n\n"},
    {"add_arbitrary_signal", as_cfunction(methods::add_arbitrary_signal), kFastCall,
     "add_arbitrary_signal($self, samples)\n--\n\n"},
    {"get_num_samples", as_cfunction(methods::get_num_samples), METH_NOARGS, "get_num_samples($self)\n--\n\n"},
    {"get_sampling_rate", as_cfunction(methods::get_sampling_rate), METH_NOARGS,
     "get_sampling_rate($self)\n--\n\n"},
    {"save", as_cfunction(methods::save), kFastCall, "save($self, filepath)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kProtocolSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(protocol_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(protocol_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(protocol_str)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("Protocol()\n--\n\n")},
    {0, nullptr},
};

}  // namespace

PyObject* create_protocol_class() {
    PyType_Spec spec{"builtins.Protocol", static_cast<int>(sizeof(ProtocolObject)), 0, Py_TPFLAGS_DEFAULT,
                     kProtocolSlots};
    return PyType_FromSpec(&spec);
}

ProtocolObject& protocol_receiver(PyObject* self) {
    if (!PyObject_TypeCheck(self, g_classes.protocol)) raise_cast_error(self, "Protocol");
    return *reinterpret_cast<ProtocolObject*>(self);
}

}  // namespace pyvexa
