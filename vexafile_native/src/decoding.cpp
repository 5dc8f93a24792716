#include "decoding.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "protocols/postcard_decode.hpp"

namespace vexafile_native {

namespace {

using protocols::postcard::ByteInput;
using protocols::postcard::DecodeError;
using protocols::settings::Settings;

// Read-only view of a bytes-like object, released on every path.
class BufferView {
public:
    explicit BufferView(PyObject* object) { checked_status(PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE)); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { PyBuffer_Release(&view_); }
    std::span<const std::uint8_t> bytes() const noexcept {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
};

// Raises the data's fault as classes["VexaFormatError"](kind, offset, message).
[[noreturn]] void raise_format_error(const DecodeError& error, PyObject* classes) {
    PyRef key = checked(PyUnicode_FromString("VexaFormatError"));
    PyObject* found = PyDict_GetItemWithError(classes, key.get());
    if (found == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_KeyError, "no class for VexaFormatError");
        throw_python_error();
    }
    PyRef error_class = PyRef::borrow(found);  // the call below may change the dict
    const std::string_view kind = protocols::postcard::to_string(error.kind);
    PyRef exception = checked(PyObject_CallFunction(
        error_class.get(), "s#Ks#", kind.data(), static_cast<Py_ssize_t>(kind.size()),
        static_cast<unsigned long long>(error.offset), error.message.data(),
        static_cast<Py_ssize_t>(error.message.size())));
    if (!PyExceptionInstance_Check(exception.get())) {
        PyErr_SetString(PyExc_TypeError, "classes['VexaFormatError'] did not make an exception");
        throw_python_error();
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    throw_python_error();
}

Settings take_settings(protocols::Expected<Settings, DecodeError>&& result, PyObject* classes) {
    if (!result) raise_format_error(result.error(), classes);
    return std::move(result).value();
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
        checked_status(status);
    }

private:
    PyThreadState* state_;
};

}  // namespace

void check_classes(PyObject* classes) {
    if (!PyDict_Check(classes)) {
        PyErr_SetString(PyExc_TypeError, "classes must be a dict");
        throw_python_error();
    }
}

Settings decode_buffer(PyObject* data, PyObject* classes) {
    BufferView view(data);
    ByteInput input(view.bytes());
    return take_settings(protocols::postcard::decode_settings(input), classes);
}

Settings decode_fd(PyObject* fd_object, PyObject* classes) {
    const int fd = PyObject_AsFileDescriptor(fd_object);
    if (fd < 0) throw_python_error();
    Settings blank;  // reads the environment: not without the lock
    std::optional<protocols::Expected<Settings, DecodeError>> result;
    {
        LockReleased unlocked;
        ByteInput input(fd, [&] { unlocked.check_signals(); });
        result.emplace(protocols::postcard::decode_settings(input, std::move(blank)));
    }
    return take_settings(std::move(*result), classes);
}

}  // namespace vexafile_native
