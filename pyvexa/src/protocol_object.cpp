// The Protocol class: construction, destruction, text form and the method
// table (its order is the order of the class dictionary).
#include <array>
#include <new>
#include <string>
#include <utility>

#include "method_frame.hpp"
#include "methods.hpp"
#include "protocols/text.hpp"

namespace pyvexa {

namespace {

PyObject* protocol_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
        const ParamList no_parameters{kProtocolClassName, "__new__", nullptr, nullptr, 0, 0};
        match_tuple_dict(no_parameters, args, kwargs, nullptr);
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

std::string protocol_text(ProtocolObject& protocol) { return protocols::text::to_text(protocol.record); }
constexpr auto kStr = method<Shared>("__str__", protocol_text);

// Settings, signals, sampling, save, and the end mark.
using MethodTable = std::array<PyMethodDef, 5 + 5 + 2 + 1 + 1>;

MethodTable method_table() {
    MethodTable table{};
    auto at = table.begin();
    for (const PyMethodDef& entry : methods::setting_entries()) *at++ = entry;
    for (const PyMethodDef& entry : methods::signal_entries()) *at++ = entry;
    for (const PyMethodDef& entry : methods::sampling_entries()) *at++ = entry;
    *at = methods::save_entry();  // the last entry stays zeroed: the end mark
    return table;
}

}  // namespace

PyRef create_protocol_class() {
    static MethodTable methods = method_table();  // kept for the process, as the class is
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(protocol_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(protocol_dealloc)},
        {Py_tp_str, slot_entry<kStr>()},
        {Py_tp_methods, methods.data()},
        {Py_tp_doc, const_cast<char*>("Protocol()\n--\n\n")},
        {0, nullptr},
    };
    PyType_Spec spec{"builtins.Protocol", static_cast<int>(sizeof(ProtocolObject)), 0, Py_TPFLAGS_DEFAULT,
                     slots};
    return checked(PyType_FromSpec(&spec));
}

}  // namespace pyvexa
