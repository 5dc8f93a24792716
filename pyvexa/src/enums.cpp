// The enumerations Coil and Channel: a fixed set of instances created with
// the class, with only __repr__ and __int__ (no comparison, no __index__).
#include <array>
#include <cstdint>
#include <new>
#include <span>
#include <string>

#include "boundary.hpp"
#include "convert.hpp"
#include "objects.hpp"
#include "pyglue/table.hpp"

namespace pyvexa {

namespace {

struct EnumDescription {
    const char* spec_name;  // "builtins.<name>": reads like a built-in class
    const char* name;
    std::span<const char* const> members;
};

constexpr std::array kChannelMembers{"A", "B"};
constexpr std::array kCoilMembers{"A1", "A2", "B1", "B2"};
constexpr EnumDescription kChannel{"builtins.Channel", "Channel", kChannelMembers};
constexpr EnumDescription kCoil{"builtins.Coil", "Coil", kCoilMembers};

EnumObject& as_enum(PyObject* self) { return *reinterpret_cast<EnumObject*>(self); }

const EnumDescription& description_of(PyObject* self) {
    return Py_TYPE(self) == state::classes().coil ? kCoil : kChannel;
}

PyObject* enum_repr(PyObject* self) {
    return boundary([&]() -> PyObject* {
        EnumObject& member = as_enum(self);
        Access<Shared> access(member.access);
        const EnumDescription& description = description_of(self);
        std::string text = std::string(description.name) + "." + description.members[member.value];
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* enum_int(PyObject* self) {
    return boundary([&]() -> PyObject* {
        EnumObject& member = as_enum(self);
        Access<Shared> access(member.access);
        return PyLong_FromLong(member.value);
    });
}

void enum_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_enum(self).access.~AccessFlag();
    type->tp_free(self);
    Py_DECREF(type);
}

auto kEnumSlots = pyglue::end_marked(std::array{
    PyType_Slot{Py_tp_repr, reinterpret_cast<void*>(enum_repr)},
    PyType_Slot{Py_nb_int, reinterpret_cast<void*>(enum_int)},
    PyType_Slot{Py_tp_dealloc, reinterpret_cast<void*>(enum_dealloc)},
});

// New reference to a member instance of `type`.
PyRef make_member(PyTypeObject* type, std::uint8_t value) {
    PyRef obj = checked(type->tp_alloc(type, 0));
    EnumObject& member = as_enum(obj.get());
    new (&member.access) AccessFlag();
    member.value = value;
    return obj;
}

PyRef create_enum_class(const EnumDescription& description) {
    PyType_Spec spec{description.spec_name, static_cast<int>(sizeof(EnumObject)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kEnumSlots.data()};
    PyRef type = checked(PyType_FromSpec(&spec));
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    for (std::size_t value = 0; value < description.members.size(); ++value) {
        PyRef member = make_member(type_object, static_cast<std::uint8_t>(value));
        if (PyObject_SetAttrString(type.get(), description.members[value], member.get()) < 0) {
            throw_python_error();
        }
    }
    return type;
}

EnumArgument arg_enum(PyObject* obj, PyTypeObject* type, const char* type_name, const char* name) {
    if (!PyObject_TypeCheck(obj, type)) {
        set_cast_error(obj, type_name);
        raise_argument_error(name);
    }
    EnumObject& member = as_enum(obj);
    return EnumArgument{member.value, Access<Shared>(member.access)};
}

}  // namespace

PyRef create_channel_class() { return create_enum_class(kChannel); }
PyRef create_coil_class() { return create_enum_class(kCoil); }

EnumArgument arg_channel(PyObject* obj, const char* name) {
    return arg_enum(obj, state::classes().channel, "Channel", name);
}

EnumArgument arg_coil(PyObject* obj, const char* name) {
    return arg_enum(obj, state::classes().coil, "Coil", name);
}

}  // namespace pyvexa
