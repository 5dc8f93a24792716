// The Protocol class: construction, destruction, text form and the method
// table (its order is the order of the class dictionary).
#include <array>
#include <new>
#include <string>
#include <utility>

#include "method_frame.hpp"
#include "protocol_methods.hpp"
#include "protocols/text.hpp"
#include "pyglue/table.hpp"
#include "save.hpp"
#include "signal_methods.hpp"

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

// The class dictionary takes the groups in this order.
auto method_table() {
    return pyglue::end_marked(methods::setting_entries(), methods::signal_entries(), methods::sampling_entries(),
                              methods::save_entries());
}

}  // namespace

PyRef create_protocol_class() {
    static auto methods = method_table();  // kept for the process, as the class is
    auto slots = pyglue::end_marked(std::array{
        PyType_Slot{Py_tp_new, reinterpret_cast<void*>(protocol_new)},
        PyType_Slot{Py_tp_dealloc, reinterpret_cast<void*>(protocol_dealloc)},
        PyType_Slot{Py_tp_str, slot_entry<kStr>()},
        PyType_Slot{Py_tp_methods, methods.data()},
        PyType_Slot{Py_tp_doc, const_cast<char*>("Protocol()\n--\n\n")},
    });
    PyType_Spec spec{"builtins.Protocol", static_cast<int>(sizeof(ProtocolObject)), 0, Py_TPFLAGS_DEFAULT,
                     slots.data()};
    return checked(PyType_FromSpec(&spec));
}

}  // namespace pyvexa
