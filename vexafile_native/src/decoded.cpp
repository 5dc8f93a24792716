#include "decoded.hpp"

#include <array>
#include <utility>

#include "pyglue/table.hpp"
#include "text_output.hpp"

namespace vexafile_native {

namespace {

struct DecodedObject {
    PyObject_HEAD
    protocols::Protocol* protocol;  // owned; set before the object is handed out
};

const protocols::Protocol& protocol_of(PyObject* self) {
    return *reinterpret_cast<DecodedObject*>(self)->protocol;
}

void decoded_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<DecodedObject*>(self)->protocol;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* decoded_coil_names(PyObject* self, PyObject*) {
    return boundary([&] {
        const auto& coils = protocol_of(self).settings.machine_config.coils;
        PyRef names = checked(PyList_New(static_cast<Py_ssize_t>(coils.size())));
        Py_ssize_t i = 0;
        for (const auto& coil : coils) {
            PyRef name = checked(
                PyUnicode_DecodeUTF8(coil.name.data(), static_cast<Py_ssize_t>(coil.name.size()), "strict"));
            PyList_SET_ITEM(names.get(), i++, name.release());
        }
        return names.release();
    });
}

PyObject* decoded_write_text(PyObject* self, PyObject* write) {
    return boundary([&] {
        PythonWriteSink sink(write);
        protocols::text::write_text(protocol_of(self), sink);
        sink.flush();
        return Py_NewRef(Py_None);
    });
}

auto decoded_methods = pyglue::end_marked(std::array{
    PyMethodDef{"coil_names", decoded_coil_names, METH_NOARGS, "The coil names, in order."},
    PyMethodDef{"write_text", decoded_write_text, METH_O,
                "write_text(write)\n--\n\nCall write(bytes) with the UTF-8 text form, block by block."},
});

auto decoded_slots = pyglue::end_marked(std::array{
    PyType_Slot{Py_tp_dealloc, reinterpret_cast<void*>(decoded_dealloc)},
    PyType_Slot{Py_tp_methods, decoded_methods.data()},
    PyType_Slot{Py_tp_doc, const_cast<char*>("A decoded protocol file held in native form.")},
});

// Not instantiable from Python: an instance without its record would be
// read through a null pointer.
PyType_Spec decoded_spec = {
    "vexafile._native.Decoded",
    sizeof(DecodedObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    decoded_slots.data(),
};

}  // namespace

PyRef create_decoded_type(PyObject* module) { return checked(PyType_FromModuleAndSpec(module, &decoded_spec, nullptr)); }

PyRef make_decoded(PyTypeObject* type, std::unique_ptr<protocols::Protocol> protocol) {
    PyRef self = checked(type->tp_alloc(type, 0));
    reinterpret_cast<DecodedObject*>(self.get())->protocol = protocol.release();
    return self;
}

}  // namespace vexafile_native
