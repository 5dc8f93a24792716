#include "records_to_python.hpp"

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "boundary.hpp"
#include "protocols/fields.hpp"

namespace vexafile_native {

namespace {

using namespace protocols;

class Builder {
public:
    explicit Builder(PyObject* classes) : classes_(classes) {}

    PyRef value(bool v) { return PyRef::borrow(v ? Py_True : Py_False); }
    PyRef value(std::uint64_t v) { return checked(PyLong_FromUnsignedLongLong(v)); }
    PyRef value(double v) { return checked(PyFloat_FromDouble(v)); }
    PyRef value(const std::string& v) {
        // The decoder has checked the UTF-8 already.
        return checked(PyUnicode_DecodeUTF8(v.data(), static_cast<Py_ssize_t>(v.size()), "strict"));
    }

    PyRef value(const signals::SampleVector& samples) {
        PyRef bytes = checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(samples.data()),
                                                        static_cast<Py_ssize_t>(samples.size() * sizeof(std::int16_t))));
        PyObject* args[] = {bytes.get()};
        return checked(PyObject_Vectorcall(lookup("samples"), args, 1, nullptr));
    }

    template <class T, class A>
    PyRef value(const std::vector<T, A>& items) { return tuple_of(items); }
    template <class T, class A>
    PyRef value(const std::deque<T, A>& items) { return tuple_of(items); }
    template <class T, std::size_t N>
    PyRef value(const std::array<T, N>& items) { return tuple_of(items); }

    PyRef value(const signals::Signal& signal) {
        PyRef params = std::visit([&](const auto& p) { return value(p); }, signal);
        PyObject* args[] = {params.get()};
        return call(lookup(signals::variant_name(signal)), args, 1);
    }

    template <fields::Described Record>
    PyRef value(const Record& record) {
        constexpr std::size_t count = Record::field_list.size;
        std::array<PyRef, count> owned;
        std::size_t i = 0;
        fields::visit_fields(record, [&](std::string_view, const auto& member) { owned[i++] = value(member); });
        std::array<PyObject*, count> args;
        for (std::size_t k = 0; k < count; ++k) args[k] = owned[k].get();
        return call(lookup(fields::type_name<Record>), args.data(), count);
    }

private:
    template <class Sequence>
    PyRef tuple_of(const Sequence& items) {
        PyRef tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
        Py_ssize_t i = 0;
        for (const auto& item : items) PyTuple_SET_ITEM(tuple.get(), i++, value(item).release());
        return tuple;
    }

    static PyRef call(PyObject* callable, PyObject* const* args, std::size_t count) {
        return checked(PyObject_Vectorcall(callable, args, count, nullptr));
    }

    // Borrowed from `classes`; looked up once per name and call of load.
    PyObject* lookup(std::string_view name) {
        for (const auto& [known, object] : cache_) {
            if (known == name) return object.get();
        }
        PyRef key = checked(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        PyObject* found = PyDict_GetItemWithError(classes_, key.get());
        if (found == nullptr) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_KeyError, "no class for %U", key.get());
            throw_python_error();
        }
        cache_.emplace_back(name, PyRef::borrow(found));
        return found;
    }

    PyObject* classes_;
    std::vector<std::pair<std::string_view, PyRef>> cache_;
};

}  // namespace

PyRef settings_to_python(const settings::Settings& settings, PyObject* classes) {
    if (!PyDict_Check(classes)) {
        PyErr_SetString(PyExc_TypeError, "classes must be a dict");
        throw_python_error();
    }
    return Builder(classes).value(settings);
}

}  // namespace vexafile_native
