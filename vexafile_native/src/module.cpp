// vexafile._native: the compiled decoder behind vexafile.load, loads and the
// command line's text. Private to vexafile; it adds nothing to pyvexa.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>

#include "guard.hpp"
#include "protocols/postcard_decode.hpp"
#include "protocols/text.hpp"
#include "pyref.hpp"
#include "records_to_python.hpp"
#include "text_output.hpp"

namespace vexafile_native {

namespace {

using protocols::postcard::ByteInput;
using protocols::postcard::DecodeError;
using protocols::settings::Settings;

// Read-only view of a bytes-like object, released on every path.
class BufferView {
public:
    explicit BufferView(PyObject* object) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) throw_python_error();
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { PyBuffer_Release(&view_); }
    std::span<const std::uint8_t> bytes() const noexcept {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
};

// The decoded record, or the data's fault raised as classes["VexaFormatError"].
Settings take_settings(protocols::Expected<Settings, DecodeError>&& result, PyObject* classes) {
    if (result) return std::move(result).value();
    const DecodeError error = result.error();
    PyObject* error_class = PyDict_GetItemString(classes, "VexaFormatError");
    if (error_class == nullptr) {
        PyErr_SetString(PyExc_KeyError, "no class for VexaFormatError");
        throw_python_error();
    }
    const std::string_view kind = protocols::postcard::to_string(error.kind);
    PyRef exception = PyRef::steal(checked(PyObject_CallFunction(
        error_class, "s#Ks#", kind.data(), static_cast<Py_ssize_t>(kind.size()),
        static_cast<unsigned long long>(error.offset), error.message.data(),
        static_cast<Py_ssize_t>(error.message.size()))));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    throw_python_error();
}

int fd_argument(PyObject* object) {
    const int fd = PyObject_AsFileDescriptor(object);
    if (fd < 0) throw_python_error();
    return fd;
}

void check_arguments(Py_ssize_t nargs, const char* name) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "%s() takes 2 arguments (%zd given)", name, nargs);
        throw_python_error();
    }
}

// The interpreter lock is let go while a file descriptor is decoded, since a
// read may wait for a writer (another thread of this process, say); the
// decoding itself touches no Python object. A read interrupted by a signal
// takes the lock back to run the handlers, which may raise.
class LockReleased {
public:
    LockReleased() : state_(PyEval_SaveThread()) {}
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;
    ~LockReleased() { PyEval_RestoreThread(state_); }

    void check_signals() {
        PyEval_RestoreThread(state_);
        const int status = PyErr_CheckSignals();
        state_ = PyEval_SaveThread();
        if (status < 0) throw_python_error();
    }

private:
    PyThreadState* state_;
};

// The record decoded from `fd`, or the data's fault raised as
// classes["VexaFormatError"].
Settings decode_fd(PyObject* fd_object, PyObject* classes) {
    const int fd = fd_argument(fd_object);
    Settings blank;  // reads the environment: not without the lock
    std::optional<protocols::Expected<Settings, DecodeError>> result;
    {
        LockReleased unlocked;
        ByteInput input(fd, [&] { unlocked.check_signals(); });
        result.emplace(protocols::postcard::decode_settings(input, std::move(blank)));
    }
    return take_settings(std::move(*result), classes);
}

// ---- Decoded: a record kept in C++ for the command line's text

struct DecodedObject {
    PyObject_HEAD
    protocols::Protocol* protocol;  // owned
};

DecodedObject* as_decoded(PyObject* self) { return reinterpret_cast<DecodedObject*>(self); }

void decoded_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_decoded(self)->protocol;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* decoded_coil_names(PyObject* self, PyObject*) {
    return guard([&] {
        const auto& coils = as_decoded(self)->protocol->settings.machine_config.coils;
        PyRef names = PyRef::steal(checked(PyList_New(static_cast<Py_ssize_t>(coils.size()))));
        Py_ssize_t i = 0;
        for (const auto& coil : coils) {
            PyObject* name = checked(
                PyUnicode_DecodeUTF8(coil.name.data(), static_cast<Py_ssize_t>(coil.name.size()), "strict"));
            PyList_SET_ITEM(names.get(), i++, name);
        }
        return names.release();
    });
}

PyObject* decoded_write_text(PyObject* self, PyObject* write) {
    return guard([&] {
        PythonWriteSink sink(write);
        protocols::text::write_text(*as_decoded(self)->protocol, sink);
        sink.flush();
        return Py_NewRef(Py_None);
    });
}

PyMethodDef decoded_methods[] = {
    {"coil_names", decoded_coil_names, METH_NOARGS, "The coil names, in order."},
    {"write_text", decoded_write_text, METH_O,
     "write_text(write)\n--\n\nCall write(bytes) with the UTF-8 text form, block by block."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot decoded_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(decoded_dealloc)},
    {Py_tp_methods, decoded_methods},
    {Py_tp_doc, const_cast<char*>("A decoded protocol file held in native form.")},
    {0, nullptr},
};

PyType_Spec decoded_spec = {
    "vexafile._native.Decoded", sizeof(DecodedObject), 0, Py_TPFLAGS_DEFAULT, decoded_slots,
};

// ---- module functions: (data or fd, classes)

PyObject* native_loads(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        check_arguments(nargs, "loads");
        BufferView data(args[0]);
        ByteInput input(data.bytes());
        return settings_to_python(take_settings(protocols::postcard::decode_settings(input), args[1]), args[1])
            .release();
    });
}

PyObject* native_load(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        check_arguments(nargs, "load");
        return settings_to_python(decode_fd(args[0], args[1]), args[1]).release();
    });
}

PyObject* native_decode(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        check_arguments(nargs, "decode");
        auto protocol = std::make_unique<protocols::Protocol>(protocols::Protocol{decode_fd(args[0], args[1])});
        PyRef type = PyRef::steal(checked(PyObject_GetAttrString(module, "Decoded")));
        PyObject* self = checked(reinterpret_cast<PyTypeObject*>(type.get())->tp_alloc(
            reinterpret_cast<PyTypeObject*>(type.get()), 0));
        as_decoded(self)->protocol = protocol.release();
        return self;
    });
}

PyMethodDef module_methods[] = {
    {"loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_loads)), METH_FASTCALL,
     "loads(data, classes)\n--\n\nDecode the bytes of a whole protocol file into records."},
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_load)), METH_FASTCALL,
     "load(fd, classes)\n--\n\nDecode a protocol file read from a file descriptor into records."},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_decode)), METH_FASTCALL,
     "decode(fd, classes)\n--\n\nDecode a protocol file read from a file descriptor, kept in native form."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &decoded_spec, nullptr);
    if (type == nullptr) return -1;
    return PyModule_AddObject(module, "Decoded", type) < 0 ? (Py_DECREF(type), -1) : 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vexafile._native", "Compiled decoder of protocol files, private to vexafile.", 0,
    module_methods,        module_slots,       nullptr,                                                   nullptr,
    nullptr,
};

}  // namespace

}  // namespace vexafile_native

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&vexafile_native::module_def); }
