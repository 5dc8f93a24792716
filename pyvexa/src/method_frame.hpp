// The frame every Protocol method runs in. A method is described once: its
// name, the access it takes, its work (a plain function of the object and
// the converted values) and its parameters, each a name, the conversion of
// its argument and, when optional, its default. The entry point, the
// argument matching, the conversions and the text signature all come from
// that description.
//
// The steps, each ending the call at its first failure: match the arguments
// to the parameters; check that the receiver is a Protocol; take access to
// it; convert the arguments in declaration order, an absent optional one
// taking its default; do the work. What was taken is released on every way
// out, and no C++ exception reaches the interpreter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "access.hpp"
#include "args.hpp"
#include "boundary.hpp"
#include "errors.hpp"
#include "objects.hpp"

namespace pyvexa {

// The class whose methods these are; errors name "Protocol.<method>()".
inline constexpr const char* kProtocolClassName = "Protocol";

// A parameter whose argument `Convert(obj, name)` turns into its value.
template <auto Convert>
struct Required {
    using Value = std::invoke_result_t<decltype(Convert), PyObject*, const char*>;
    const char* name;
};

// A parameter that takes `fallback` when its argument is absent.
template <auto Convert>
struct Optional {
    using Value = std::invoke_result_t<decltype(Convert), PyObject*, const char*>;
    const char* name;
    Value fallback;
};

template <auto Convert>
constexpr Required<Convert> param(const char* name) {
    return {name};
}

template <auto Convert>
constexpr Optional<Convert> param(const char* name, typename Optional<Convert>::Value fallback) {
    return {name, fallback};
}

template <class P>
inline constexpr bool kIsOptional = false;
template <auto Convert>
inline constexpr bool kIsOptional<Optional<Convert>> = true;

// A method: its name, the access `Mode` (Shared or Exclusive) it takes, its
// work and its parameters, the required ones first. The work is called as
// work(ProtocolObject&, values...) and returns nothing, a double, a bool, an
// unsigned index or a text.
template <class Mode, class Work, class... Params>
struct Method {
    using AccessMode = Mode;
    static constexpr std::size_t kCount = sizeof...(Params);
    static constexpr std::size_t kRequired = (std::size_t{!kIsOptional<Params>} + ... + 0);
    static_assert(kCount <= kMaxParams);
    static_assert(
        [] {
            constexpr std::array<bool, kCount> optional{kIsOptional<Params>...};
            for (std::size_t i = kRequired; i < kCount; ++i) {
                if (!optional[i]) return false;
            }
            return true;
        }(),
        "required parameters come first");

    const char* name;
    Work work;
    std::tuple<Params...> params;
};

template <class Mode, class Work, class... Params>
constexpr Method<Mode, Work, Params...> method(const char* name, Work work, Params... params) {
    return {name, work, {params...}};
}

namespace frame {

template <const auto& M>
using MethodOf = std::remove_cvref_t<decltype(M)>;

// The parameter list that argument matching works from, one per method.
template <const auto& M>
struct Parameters {
    static constexpr std::array<const char*, MethodOf<M>::kCount> names =
        std::apply([](const auto&... p) { return std::array<const char*, sizeof...(p)>{p.name...}; },
                   M.params);
    static inline std::array<PyObject*, MethodOf<M>::kCount> interned{};

    static ParamList list() noexcept {
        return ParamList{kProtocolClassName, M.name, names.data(), interned.data(), MethodOf<M>::kCount,
                         MethodOf<M>::kRequired};
    }
};

template <auto Convert>
auto convert(const Required<Convert>& p, PyObject* arg) {
    return Convert(arg, p.name);
}

template <auto Convert>
auto convert(const Optional<Convert>& p, PyObject* arg) {
    return arg != nullptr ? Convert(arg, p.name) : p.fallback;
}

// The Python value of what the work returned (new reference, or nullptr
// with an error set).
inline PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
inline PyObject* to_python(bool value) { return PyBool_FromLong(value); }
inline PyObject* to_python(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
inline PyObject* to_python(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Receiver check, access, conversions and the work, for arguments already
// matched into argv.
template <const auto& M, std::size_t... I>
PyObject* run(PyObject* self, PyObject* const* argv, std::index_sequence<I...>) {
    ProtocolObject& protocol = protocol_receiver(self);
    Access<typename MethodOf<M>::AccessMode> access(protocol.access);
    // Braced initialisation converts strictly from left to right.
    std::tuple<typename std::tuple_element_t<I, decltype(M.params)>::Value...> values{
        convert(std::get<I>(M.params), argv[I])...};
    if constexpr (std::is_void_v<decltype(M.work(protocol, std::get<I>(values)...))>) {
        M.work(protocol, std::get<I>(values)...);
        Py_RETURN_NONE;
    } else {
        return to_python(M.work(protocol, std::get<I>(values)...));
    }
}

// Entry of a method with parameters: the fast-call form with keywords.
template <const auto& M>
PyObject* fast_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return boundary([&]() -> PyObject* {
        PyObject* argv[MethodOf<M>::kCount];
        match_fastcall(Parameters<M>::list(), args, nargs, kwnames, argv);
        return run<M>(self, argv, std::make_index_sequence<MethodOf<M>::kCount>());
    });
}

// Entry of a method without parameters, or of a slot such as __str__; the
// interpreter refuses any argument before the call.
template <const auto& M>
PyObject* no_arguments(PyObject* self) noexcept {
    static_assert(MethodOf<M>::kCount == 0);
    return boundary([&]() -> PyObject* { return run<M>(self, nullptr, std::index_sequence<>()); });
}

template <const auto& M>
PyObject* no_arguments_method(PyObject* self, PyObject*) noexcept {
    return no_arguments<M>(self);
}

// "name($self, a, b=0.0)\n--\n\n": the signature block from which the
// interpreter derives __text_signature__, defaults written as Python
// writes them. Throws PythonErrorSet.
std::string text_signature(const char* method, const char* const* names, PyObject* const* defaults,
                           std::size_t count);

template <const auto& M, std::size_t... I>
std::string text_signature_of(std::index_sequence<I...>) {
    [[maybe_unused]] auto default_of = [](const auto& p) -> PyRef {
        if constexpr (kIsOptional<std::remove_cvref_t<decltype(p)>>) return checked(to_python(p.fallback));
        return PyRef();
    };
    [[maybe_unused]] std::array<PyRef, MethodOf<M>::kCount> defaults{default_of(std::get<I>(M.params))...};
    std::array<PyObject*, MethodOf<M>::kCount> borrowed{defaults[I].get()...};
    return text_signature(M.name, Parameters<M>::names.data(), borrowed.data(), MethodOf<M>::kCount);
}

template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace frame

// The method-table entry of method `M`. Builds the text signature on first
// use (kept for the process); throws PythonErrorSet when that fails.
template <const auto& M>
PyMethodDef method_entry() {
    using Spec = frame::MethodOf<M>;
    static const std::string* const doc =
        new std::string(frame::text_signature_of<M>(std::make_index_sequence<Spec::kCount>()));
    if constexpr (Spec::kCount == 0) {
        return {M.name, frame::as_cfunction(frame::no_arguments_method<M>), METH_NOARGS, doc->c_str()};
    } else {
        return {M.name, frame::as_cfunction(frame::fast_call<M>), METH_FASTCALL | METH_KEYWORDS,
                doc->c_str()};
    }
}

// The method-table entries of several methods, in the order given.
template <const auto&... M>
std::array<PyMethodDef, sizeof...(M)> method_entries() {
    return {method_entry<M>()...};
}

// The slot function (such as tp_str) running method `M`, which has no
// parameters.
template <const auto& M>
void* slot_entry() {
    return reinterpret_cast<void*>(frame::no_arguments<M>);
}

}  // namespace pyvexa
