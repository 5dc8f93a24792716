#include "errors.hpp"

#include <unistd.h>
#include <sys/syscall.h>

#include <cstdio>
#include <string_view>

namespace pyvexa {

void panic(std::string message, std::source_location location) {
    throw Panic{std::move(message), location};
}

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonErrorSet{};
}

void raise(PyObject* type, const std::string& message) { raise(type, message.c_str()); }

std::string unwrap_failure(const std::string& error_rendering) {
    return "called `Result::unwrap()` on an `Err` value: " + error_rendering;
}

namespace {

constexpr const char* kPanicDoc =
    "The exception raised when the native code of the module fails an internal check.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it will\n"
    "typically propagate all the way through the stack and cause the Python\n"
    "interpreter to exit.\n";

// Kept for the process, like the module's classes; never torn down.
PyObject* g_panic_class = nullptr;

// The PanicException class, created on first need (borrowed); nullptr with
// the creation's error set when that fails.
PyObject* panic_class() noexcept {
    if (g_panic_class != nullptr) return g_panic_class;
    PyRef created = PyRef::steal(
        PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr));
    if (!created) return nullptr;
    // Making it may have run Python code, and so another thread: the first one stays.
    if (g_panic_class == nullptr) g_panic_class = created.release();
    return g_panic_class;
}

// Text of str(obj) or repr(obj); a fallback when that fails too.
std::string object_text(PyObject* obj, bool use_repr) {
    PyRef text = PyRef::steal(use_repr ? PyObject_Repr(obj) : PyObject_Str(obj));
    if (!text) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    return std::string(utf8, static_cast<size_t>(size));
}

// The source path from the project root, not the build machine's prefix.
std::string_view short_file_name(const char* path) noexcept {
    std::string_view file(path);
    if (auto at = file.rfind("pyvexa/src/"); at != std::string_view::npos) return file.substr(at);
    if (auto at = file.rfind("protocols/"); at != std::string_view::npos) return file.substr(at);
    return file;
}

const char* thread_name() noexcept {
    return ::getpid() == static_cast<pid_t>(::syscall(SYS_gettid)) ? "main" : "<unnamed>";
}

}  // namespace

std::string take_error_rendering() {
    PyRef exc = PyRef::steal(compat::get_raised_exception());
    if (!exc) return "PyErr { type: <class 'SystemError'>, value: SystemError('no exception set'), traceback: None }";
    std::string out = "PyErr { type: ";
    out += object_text(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), false);
    out += ", value: ";
    out += object_text(exc.get(), true);
    out += ", traceback: ";
    PyRef traceback = PyRef::steal(PyException_GetTraceback(exc.get()));
    if (traceback) {
        out += "Some(" + object_text(traceback.get(), true) + ")";
    } else {
        out += "None";
    }
    out += " }";
    return out;
}

void raise_panic(std::string_view message, const std::source_location& location) noexcept {
    const std::string_view text = message.empty() ? std::string_view("explicit panic") : message;
    const std::string_view file = short_file_name(location.file_name());
    std::fprintf(stderr, "thread '%s' panicked at %.*s:%u:%u:\n%.*s\n", thread_name(),
                 static_cast<int>(file.size()), file.data(), static_cast<unsigned>(location.line()),
                 static_cast<unsigned>(location.column()), static_cast<int>(text.size()), text.data());
    std::fflush(stderr);

    // Both calls leave their own error set when they fail: a MemoryError
    // then reaches the caller in place of the panic.
    PyObject* type = panic_class();
    if (type == nullptr) return;
    PyRef value = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!value) return;
    PyErr_SetObject(type, value.get());
}

}  // namespace pyvexa
