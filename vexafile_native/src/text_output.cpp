#include "text_output.hpp"

#include "boundary.hpp"

namespace vexafile_native {

void PythonWriteSink::write(std::string_view chunk) {
    pending_.append(chunk);
    if (pending_.size() >= kBlock) flush();
}

void PythonWriteSink::flush() {
    if (pending_.empty()) return;
    PyRef block = checked(PyBytes_FromStringAndSize(pending_.data(), static_cast<Py_ssize_t>(pending_.size())));
    pending_.clear();
    checked(PyObject_CallOneArg(write_, block.get()));
}

}  // namespace vexafile_native
