#include "model_exports.hpp"

#include <array>
#include <cstddef>
#include <deque>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "protocols/config.hpp"
#include "protocols/fields.hpp"
#include "protocols/settings.hpp"
#include "protocols/signals.hpp"

namespace vexafile_native {

namespace {

namespace config = protocols::config;
namespace fields = protocols::fields;
namespace signals = protocols::signals;

PyRef text(std::string_view value) {
    return checked(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

template <std::size_t N>
PyRef texts(const std::array<std::string_view, N>& values) {
    PyRef tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(N)));
    for (std::size_t i = 0; i < N; ++i) PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), text(values[i]).release());
    return tuple;
}

// The types whose values a value of T holds: a record's members, a
// sequence's elements, a variant's alternatives; none for a scalar.
template <class T>
struct Held {
    using type = std::tuple<>;
};
template <fields::Described T>
struct Held<T> {
    using type = fields::member_types<T>;
};
template <class T, class A>
struct Held<std::vector<T, A>> {
    using type = std::tuple<T>;
};
template <class T, class A>
struct Held<std::deque<T, A>> {
    using type = std::tuple<T>;
};
template <class T, std::size_t N>
struct Held<std::array<T, N>> {
    using type = std::tuple<T>;
};
template <class... T>
struct Held<std::variant<T...>> {
    using type = std::tuple<T...>;
};

// Enters T (when it is a record) and then every record it holds, each
// once, in the order first met.
template <class T>
void add_records(PyObject* records) {
    if constexpr (fields::Described<T>) {
        constexpr const auto& list = T::field_list;
        PyRef name = text(list.type_name);
        if (checked_status(PyDict_Contains(records, name.get()))) return;
        checked_status(PyDict_SetItem(records, name.get(), texts(list.names).get()));
    }
    [records]<class... H>(std::tuple<H...>*) { (add_records<H>(records), ...); }(
        static_cast<typename Held<T>::type*>(nullptr));
}

PyRef signal_parameters() {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return texts(std::array<std::string_view, sizeof...(I)>{
            fields::type_name<std::variant_alternative_t<I, signals::Signal>>...});
    }(std::make_index_sequence<std::variant_size_v<signals::Signal>>());
}

static_assert(config::SAMPLE_FULL_SCALE == static_cast<double>(static_cast<long>(config::SAMPLE_FULL_SCALE)),
              "the full-scale sample is a whole number");

PyRef constants() {
    PyRef dict = checked(PyDict_New());
    const auto add = [&](const char* name, PyRef value) {
        checked_status(PyDict_SetItemString(dict.get(), name, value.get()));
    };
    add("SAMPLING_RATE", checked(PyFloat_FromDouble(config::SAMPLING_RATE)));
    add("FULL_SCALE", checked(PyLong_FromLong(static_cast<long>(config::SAMPLE_FULL_SCALE))));
    add("MIN_SESSION_DURATION", checked(PyFloat_FromDouble(config::MIN_SESSION_DURATION)));
    add("MAX_SESSION_DURATION", checked(PyFloat_FromDouble(config::MAX_SESSION_DURATION)));
    add("MIN_INTENSITY", checked(PyFloat_FromDouble(config::MIN_INTENSITY)));
    add("MAX_INTENSITY", checked(PyFloat_FromDouble(config::MAX_INTENSITY)));
    return dict;
}

void add(PyObject* module, const char* name, PyRef value) {
    checked_status(PyModule_AddObjectRef(module, name, value.get()));
}

}  // namespace

void add_model_exports(PyObject* module) {
    PyRef records = checked(PyDict_New());
    add_records<protocols::settings::Settings>(records.get());
    add(module, "RECORD_FIELDS", std::move(records));
    add(module, "SIGNAL_VARIANTS", texts(signals::SIGNAL_VARIANT_NAMES));
    add(module, "SIGNAL_PARAMETERS", signal_parameters());
    add(module, "CONSTANTS", constants());
}

}  // namespace vexafile_native
