#include "method_frame.hpp"

namespace pyvexa::frame {

std::string text_signature(const char* method, const char* const* names, PyObject* const* defaults,
                           std::size_t count) {
    std::string text = method;
    text += "($self";
    for (std::size_t i = 0; i < count; ++i) {
        text += ", ";
        text += names[i];
        if (defaults[i] == nullptr) continue;
        PyRef written = checked(PyObject_Repr(defaults[i]));
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(written.get(), &size);
        if (utf8 == nullptr) throw_python_error();
        text += '=';
        text.append(utf8, static_cast<std::size_t>(size));
    }
    text += ")\n--\n\n";
    return text;
}

}  // namespace pyvexa::frame
