#pragma once
// Declared fields. An attribute of a native type is declared once, with its host-visible name,
// where its C++ value lives, the conversion between that value and a host object, and its
// documentation; the type's getset and member tables come from the list of declarations:
//
//     using handler_fields = binding::fields<
//         binding::instance_dict<&HandlerObject::dict>,
//         binding::readonly<"running", &HandlerObject::running, binding::truth, "Indicates if ...">,
//         binding::field<"_second_session_frame_sent", &HandlerObject::second_session_frame_sent, binding::truth>,
//         binding::property<"state", get_state_class, nullptr, "Class of the current state">,
//         binding::member<"master", &HandlerObject::master>>;
//
//     {Py_tp_getset, handler_fields::getset}, {Py_tp_members, handler_fields::members}
//
// A place is a data member of the object (`&Object::m`), a member of a member
// (`binding::at<&Object::outer, &Outer::m>{}`), or a member of a structure an accessor finds
// (`binding::through<accessor, &Inner::m>{}`; the accessor returns null with an exception set
// when there is none). A conversion is a parameter conversion of binding/conversions.hpp (the
// setter converts with it, naming the argument "value") that also has
// `static PyObject* to_host(const type&)` for the getter. The setter converts before it
// stores, so a refused value changes nothing; `del obj.name` is refused.
#include "binding/args.hpp"
#include "binding/conversions.hpp"
#include "binding/text.hpp"

#include <structmember.h>

#include <array>
#include <bit>
#include <cstddef>
#include <string_view>
#include <type_traits>

namespace tamsel::binding {

namespace detail {

template <typename Member>
struct member_traits;
template <typename Object, typename Value>
struct member_traits<Value Object::*> {
    using object = Object;
    using value = Value;
};

// The pointer to the value a place names inside `self`, or null with an exception set.
template <auto Place>
auto* locate(PyObject* self) {
    if constexpr (requires { decltype(Place)::locate(self); }) return decltype(Place)::locate(self);
    else return &(reinterpret_cast<typename member_traits<decltype(Place)>::object*>(self)->*Place);
}

template <auto Place>
using place_value = std::remove_cvref_t<decltype(*locate<Place>(nullptr))>;

// The byte offset of a data member in its object, as PyMemberDef needs it: the Itanium C++ ABI
// represents a pointer to data member as exactly that offset.
template <auto Member>
Py_ssize_t offset_of() {
    static_assert(sizeof(Member) == sizeof(std::ptrdiff_t));
    return static_cast<Py_ssize_t>(std::bit_cast<std::ptrdiff_t>(Member));
}

template <Text Doc>
constexpr const char* doc_or_null() {
    return Doc.empty() ? nullptr : Doc.c_str();
}

template <Text Name>
constexpr void* closure_of() {
    return const_cast<char*>(Name.c_str());
}

// A declaration that contributes to the getset table only.
struct getset_only {
    static constexpr bool has_getset = true;
    static constexpr bool has_member = false;
    static PyMemberDef member_entry() { return {}; }
};

// A declaration that contributes to the member table only.
struct member_only {
    static constexpr bool has_getset = false;
    static constexpr bool has_member = true;
    static constexpr PyGetSetDef getset_entry() { return {}; }
};

template <typename Value>
void store(Value& slot, const Value& value) {
    if constexpr (std::is_same_v<Value, PyObject*>) assign(slot, value);
    else slot = value;
}

}  // namespace detail

// A member of the object's member `Outer` (`at<&Object::outer, &Outer::m>{}`).
template <auto Outer, auto Inner>
struct at {
    static auto* locate(PyObject* self) { return &(*detail::locate<Outer>(self).*Inner); }
};

// A member of the structure `Access(self)` returns (null with an exception set when none).
template <auto Access, auto Member>
struct through {
    static auto* locate(PyObject* self) {
        auto* inner = Access(self);
        return inner ? &(inner->*Member) : nullptr;
    }
};

// How `del obj.name` is refused: AttributeError "can't delete attribute 'name'", or the
// TypeError "can't delete attribute" of a fixed structure field.
enum class Deletion { attribute_error, type_error };

// A readable attribute over a C++ value.
template <Text Name, auto Place, typename Conversion, Text Doc = "">
struct readonly : detail::getset_only {
    static constexpr std::string_view name = Name.view();
    using value_type = detail::place_value<Place>;

    static PyObject* get(PyObject* self, void*) {
        const auto* value = detail::locate<Place>(self);
        return value ? Conversion::to_host(*value) : nullptr;
    }
    static constexpr PyGetSetDef getset_entry() {
        return {Name.c_str(), get, nullptr, detail::doc_or_null<Doc>(), nullptr};
    }
};

// A readable and assignable attribute over a C++ value of the conversion's type.
template <Text Name, auto Place, typename Conversion, Text Doc = "", Deletion D = Deletion::attribute_error>
struct field : detail::getset_only {
    static constexpr std::string_view name = Name.view();
    using value_type = detail::place_value<Place>;
    static_assert(std::is_same_v<value_type, typename Conversion::type>, "the conversion gives the field's type");

    static int set(PyObject* self, PyObject* value, void*) {
        if (value == nullptr)
            return D == Deletion::attribute_error ? refuse_delete(Name.c_str())
                                                  : refuse_delete(nullptr, PyExc_TypeError);
        value_type* slot = detail::locate<Place>(self);
        if (slot == nullptr) return -1;
        value_type converted{};
        if (!Conversion::convert(value, "value", converted)) return -1;
        detail::store(*slot, converted);
        return 0;
    }
    static constexpr PyGetSetDef getset_entry() {
        return {Name.c_str(), readonly<Name, Place, Conversion>::get, set, detail::doc_or_null<Doc>(), nullptr};
    }
};

// An attribute with a getter and a setter of its own (a null setter makes it read-only); the
// closure is the attribute's name, for `refuse_delete`.
template <Text Name, getter Get, setter Set = nullptr, Text Doc = "">
struct property : detail::getset_only {
    static constexpr std::string_view name = Name.view();
    static constexpr PyGetSetDef getset_entry() {
        return {Name.c_str(), Get, Set, detail::doc_or_null<Doc>(), detail::closure_of<Name>()};
    }
};

// An object slot as the interpreter's member: reading an empty slot raises AttributeError,
// assigning stores any object, deleting empties it.
template <Text Name, auto Member>
struct member : detail::member_only {
    static constexpr std::string_view name = Name.view();
    static_assert(std::is_same_v<typename detail::member_traits<decltype(Member)>::value, PyObject*>);
    static PyMemberDef member_entry() { return {Name.c_str(), T_OBJECT_EX, detail::offset_of<Member>(), 0, nullptr}; }
};

// A read-only object slot as the interpreter's member; an empty slot reads as None.
template <Text Name, auto Member>
struct readonly_member : detail::member_only {
    static constexpr std::string_view name = Name.view();
    static_assert(std::is_same_v<typename detail::member_traits<decltype(Member)>::value, PyObject*>);
    static PyMemberDef member_entry() {
        return {Name.c_str(), T_OBJECT, detail::offset_of<Member>(), READONLY, nullptr};
    }
};

// The instance dictionary of a plain class kept at `Member`: `__dictoffset__` tells the
// interpreter where, `__dict__` reads and replaces it.
template <auto Member>
struct instance_dict {
    static constexpr std::string_view name = "__dict__";
    static constexpr bool has_getset = true;
    static constexpr bool has_member = true;
    static constexpr PyGetSetDef getset_entry() {
        return {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr};
    }
    static PyMemberDef member_entry() {
        return {"__dictoffset__", T_PYSSIZET, detail::offset_of<Member>(), READONLY, nullptr};
    }
};

// The weak reference list kept at `Member`.
template <auto Member>
struct weak_references : detail::member_only {
    static constexpr std::string_view name = "__weaklistoffset__";
    static PyMemberDef member_entry() {
        return {"__weaklistoffset__", T_PYSSIZET, detail::offset_of<Member>(), READONLY, nullptr};
    }
};

// The getset and member tables of a type, in declaration order, each closed by its sentinel;
// `names` lists the declared names, which must differ.
template <typename... Fields>
struct fields {
    static constexpr std::array<std::string_view, sizeof...(Fields)> names{Fields::name...};

private:
    static constexpr bool distinct_names() {
        for (std::size_t i = 0; i < names.size(); ++i)
            for (std::size_t j = i + 1; j < names.size(); ++j)
                if (names[i] == names[j]) return false;
        return true;
    }
    static_assert(distinct_names(), "a type declares each attribute once");

    static constexpr std::size_t getset_count = (std::size_t{Fields::has_getset} + ... + 0);
    static constexpr std::size_t member_count = (std::size_t{Fields::has_member} + ... + 0);

    static constexpr std::array<PyGetSetDef, getset_count + 1> make_getset() {
        std::array<PyGetSetDef, getset_count + 1> table{};
        std::size_t at = 0;
        ((Fields::has_getset ? void(table[at++] = Fields::getset_entry()) : void()), ...);
        return table;
    }
    // Offsets are not constant expressions: this table is filled when the extension loads.
    static std::array<PyMemberDef, member_count + 1> make_members() {
        std::array<PyMemberDef, member_count + 1> table{};
        std::size_t at = 0;
        ((Fields::has_member ? void(table[at++] = Fields::member_entry()) : void()), ...);
        return table;
    }
    static inline constinit std::array<PyGetSetDef, getset_count + 1> getset_table = make_getset();
    static inline std::array<PyMemberDef, member_count + 1> member_table = make_members();

public:
    static constexpr PyGetSetDef* getset = getset_table.data();
    static constexpr PyMemberDef* members = member_table.data();
};

}  // namespace tamsel::binding
