#pragma once
// Declared functions. A method is declared once, with its host-visible name, its
// documentation, its implementation over converted C++ values and its parameters (name,
// conversion, default); its table entry, its argument parser with the module's exact error
// texts and its text signature (what `inspect.signature` and `help()` show) all come from
// that declaration:
//
//     bool accept_reply(HandlerObject* self, PyObject* data);
//     binding::method<"set_reply", "Set the FSoE reply received", accept_reply,
//                     binding::param<"data", binding::exact_bytes>>
//
// An implementation returns a new reference (null with an exception set), or a status: a bool
// or an int (None when true or non-negative). Arguments are converted in declaration order, each checked before anything
// changes.
#include "binding/args.hpp"
#include "binding/conversions.hpp"
#include "binding/text.hpp"
#include "binding/types.hpp"

#include <tuple>
#include <type_traits>
#include <utility>

namespace tamsel::binding {

// A positional-or-keyword parameter. With a `Default` (the host spelling: None, True, False,
// b'' or a decimal integer) it is optional, and a call without it converts that value.
template <Text Name, typename Conversion, Text Default = "">
struct param {
    static constexpr auto name = Name;
    static constexpr auto default_text = Default;
    static constexpr bool optional = !Default.empty();
    using conversion = Conversion;
    using type = typename Conversion::type;
};

namespace detail {

// The object a caller passing the default explicitly would pass.
template <Text Default>
PyObject* default_object(Ref& holder) {
    constexpr std::string_view text = Default.view();
    if constexpr (text == "None") return Py_None;
    else if constexpr (text == "True") return Py_True;
    else if constexpr (text == "False") return Py_False;
    else if constexpr (text == "b''") {
        holder = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
        return holder.get();
    } else {
        holder = Ref::steal(PyLong_FromLongLong(integer_of(text)));
        return holder.get();
    }
}

template <typename Param>
bool convert(PyObject* given, typename Param::type& out) {
    if constexpr (Param::optional) {
        if (given == nullptr) {
            Ref holder;
            PyObject* value = default_object<Param::default_text>(holder);
            return value && Param::conversion::convert(value, Param::name.c_str(), out);
        }
    }
    return Param::conversion::convert(given, Param::name.c_str(), out);
}

template <typename... Params>
constexpr Py_ssize_t required_count() {
    Py_ssize_t count = 0;
    bool seen_optional = false;
    ((Params::optional ? void(seen_optional = true) : void(count += seen_optional ? 0 : 1)), ...);
    return count;
}

template <typename... Params>
constexpr bool defaults_trail() {
    return required_count<Params...>() == Py_ssize_t{((Params::optional ? 0 : 1) + ... + 0)};
}

template <typename Function>
struct function_traits;
template <typename Result, typename Self, typename... Args>
struct function_traits<Result (*)(Self, Args...)> {
    using self = Self;
    using result = Result;
};

template <typename Self>
Self receiver(PyObject* obj) {
    if constexpr (std::is_same_v<Self, PyObject*>) return obj;
    else return reinterpret_cast<Self>(obj);
}

// The value an implementation's result type signals failure with.
template <typename Result>
constexpr Result failure() {
    if constexpr (std::is_same_v<Result, bool>) return false;
    else if constexpr (std::is_pointer_v<Result>) return nullptr;
    else return -1;
}

// The host's result of an implementation: its new reference, or None for a status (true or a
// non-negative int) and null for a failure.
template <typename Result>
PyObject* host_result(Result result) {
    if constexpr (std::is_same_v<Result, bool>) return result ? Py_NewRef(Py_None) : nullptr;
    else if constexpr (std::is_integral_v<Result>) return result >= 0 ? Py_NewRef(Py_None) : nullptr;
    else return result;
}

// The parameter list of a text signature: `(receiver, a, b=None)`.
template <typename... Params>
constexpr void put_parameters(auto& put, std::string_view receiver, bool positional_only = false) {
    put("(");
    put(receiver);
    bool first = receiver.empty();
    [[maybe_unused]] auto one = [&](std::string_view name, bool optional, std::string_view default_text) {
        if (!first) put(", ");
        first = false;
        put(name);
        if (optional) {
            put("=");
            put(default_text);
        }
    };
    (one(Params::name.view(), Params::optional, Params::default_text.view()), ...);
    if (positional_only && sizeof...(Params) > 0) put(", /");
    put(")");
}

// The name a method gives itself in error texts: a private method drops the class prefix the
// host's name mangling adds ("_MasterHandler__reset" names itself "__reset").
constexpr std::string_view unmangled(std::string_view name) {
    if (name.size() < 2 || name[0] != '_' ||
        !((name[1] >= 'A' && name[1] <= 'Z') || (name[1] >= 'a' && name[1] <= 'z')))
        return name;
    // A plain search: GCC 12 does not evaluate string_view::find as a constant expression when
    // the null-pointer sanitizer instruments it.
    for (std::size_t prefix = 1; prefix + 2 < name.size(); ++prefix)
        if (name[prefix] == '_' && name[prefix + 1] == '_') return name.substr(prefix);
    return name;
}

template <Text Name>
constexpr auto function_name = Text<unmangled(Name.view()).size() + 1>(unmangled(Name.view()).data(), 0);

enum class Receiver { instance, type, module, none };

constexpr std::string_view receiver_name(Receiver r) {
    switch (r) {
        case Receiver::instance: return "$self";
        // A class method is reached through its class, bound already: `$type` would show as a
        // parameter of the class dict's descriptor.
        case Receiver::module: return "$module";
        default: return "";
    }
}

// "name(receiver, params)\n--\n\n" followed by the documentation.
template <Text Name, Text Doc, Receiver R, typename... Params>
constexpr auto signature_doc = joined_text<[](auto&& put) {
    put(Name.view());
    put_parameters<Params...>(put, receiver_name(R));
    put("\n--\n\n");
    put(Doc.view());
}>();

// The parser and converter shared by every calling form.
template <Text Function, typename... Params>
struct Parameters {
    static_assert(defaults_trail<Params...>(), "parameters with defaults come last");
    static constexpr Py_ssize_t count = sizeof...(Params);
    static constexpr const char* names[] = {Params::name.c_str()..., nullptr};
    static inline PyObject* keywords[count + 1] = {};
    static constexpr Signature signature{Function.c_str(), names, keywords, count, required_count<Params...>()};

    using Values = std::tuple<typename Params::type...>;

    template <std::size_t... I>
    static bool convert_all(PyObject* const* given, Values& values, std::index_sequence<I...>) {
        return (convert<Params>(given[I], std::get<I>(values)) && ...);
    }

    // Converts `given[0..count)` (nulls for optional parameters not given) and calls `impl`
    // with the receiver and the converted values.
    template <auto Impl, typename Self>
    using Result = std::invoke_result_t<decltype(Impl), Self, typename Params::type...>;

    template <auto Impl, typename Self>
    static Result<Impl, Self> apply(Self receiver, PyObject* const* given) {
        Values values;
        if (!convert_all(given, values, std::index_sequence_for<Params...>{})) return failure<Result<Impl, Self>>();
        return std::apply([&](auto... v) { return Impl(receiver, v...); }, values);
    }

    // METH_FASTCALL | METH_KEYWORDS: the call with every argument positional skips the parser.
    template <auto Impl, typename Self>
    static Result<Impl, Self> fastcall(Self receiver, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        if (kwnames == nullptr && nargs == count) return apply<Impl>(receiver, args);
        PyObject* given[count + 1];
        if (!parse_fastcall(signature, args, nargs, kwnames, given)) return failure<Result<Impl, Self>>();
        return apply<Impl>(receiver, given);
    }

    template <auto Impl, typename Self>
    static Result<Impl, Self> tuple_call(Self receiver, PyObject* args, PyObject* kwargs) {
        PyObject* given[count + 1];
        if (!parse_tuple(signature, args, kwargs, given)) return failure<Result<Impl, Self>>();
        return apply<Impl>(receiver, given);
    }
};

constexpr int fastcall_flags = METH_FASTCALL | METH_KEYWORDS;

template <Receiver R>
constexpr int receiver_flags = R == Receiver::type ? METH_CLASS : 0;

template <Receiver R, Text Name, Text Doc, auto Impl, typename... Params>
struct declared {
    using Self = typename function_traits<decltype(Impl)>::self;
    static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return host_result(Parameters<function_name<Name>, Params...>::template fastcall<Impl>(receiver<Self>(self),
                                                                                               args, nargs, kwnames));
    }
    static constexpr auto doc = signature_doc<Name, Doc, R, Params...>;
    static PyMethodDef entry() {
        return {Name.c_str(), as_method(call), fastcall_flags | receiver_flags<R>, doc.data()};
    }
};

}  // namespace detail

// A method of instances, of the class (classmethod), or a module-level function.
template <Text Name, Text Doc, auto Impl, typename... Params>
using method = detail::declared<detail::Receiver::instance, Name, Doc, Impl, Params...>;
template <Text Name, Text Doc, auto Impl, typename... Params>
using class_method = detail::declared<detail::Receiver::type, Name, Doc, Impl, Params...>;
template <Text Name, Text Doc, auto Impl, typename... Params>
using function = detail::declared<detail::Receiver::module, Name, Doc, Impl, Params...>;

// A method without parameters (METH_NOARGS) or a function of one positional-only parameter
// (METH_O) whose argument count the interpreter checks, with its own error texts
// ("... takes no arguments (1 given)").
template <detail::Receiver R, Text Name, Text Doc, auto Impl, typename... Params>
struct interpreter_checked {
    static_assert(sizeof...(Params) <= 1);
    using Self = typename detail::function_traits<decltype(Impl)>::self;
    using Parameters = detail::Parameters<Name, Params...>;
    static PyObject* call(PyObject* self, PyObject* arg) {
        PyObject* given[1] = {arg};
        return detail::host_result(Parameters::template apply<Impl>(detail::receiver<Self>(self), given));
    }
    static constexpr auto doc = joined_text<[](auto&& put) {
        put(Name.view());
        detail::put_parameters<Params...>(put, detail::receiver_name(R), true);
        put("\n--\n\n");
        put(Doc.view());
    }>();
    static PyMethodDef entry() { return {Name.c_str(), call, sizeof...(Params) ? METH_O : METH_NOARGS, doc.data()}; }
};

template <Text Name, Text Doc, auto Impl>
using noargs_method = interpreter_checked<detail::Receiver::instance, Name, Doc, Impl>;
template <Text Name, Text Doc, auto Impl>
using noargs_function = interpreter_checked<detail::Receiver::module, Name, Doc, Impl>;
template <Text Name, Text Doc, auto Impl, typename Param>
using unary_function = interpreter_checked<detail::Receiver::module, Name, Doc, Impl, Param>;

// A class method taking any arguments, to hand them on (`__init_subclass__`).
template <Text Name, PyObject* (*Impl)(PyObject* cls, PyObject* args, PyObject* kwargs)>
struct forwarding_class_method {
    static PyMethodDef entry() {
        return {Name.c_str(), as_method(Impl), METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr};
    }
};

// The method table of a type: the declarations' entries and the closing sentinel.
template <typename... Methods>
struct methods {
    static inline PyMethodDef table[] = {Methods::entry()..., {nullptr, nullptr, 0, nullptr}};
};

// A constructor: `init` is the type's tp_init. `doc<Class, Doc>` is the class documentation
// (Py_tp_doc) carrying the text signature `inspect.signature(cls)` and `help(cls)` show; the
// class publishes no `__init__` method of its own, whose binding to the class some versions of
// `inspect` attempt and fail. `Impl(self, values...)` returns bool or 0/-1; errors name the
// function "__init__".
template <auto Impl, typename... Params>
struct constructor {
    using Self = typename detail::function_traits<decltype(Impl)>::self;
    using Parameters = detail::Parameters<"__init__", Params...>;

    template <typename Result>
    static bool succeeded(Result result) {
        if constexpr (std::is_same_v<Result, bool>) return result;
        else return result == 0;
    }
    static int init(PyObject* self, PyObject* args, PyObject* kwargs) {
        return succeeded(Parameters::template tuple_call<Impl>(detail::receiver<Self>(self), args, kwargs)) ? 0 : -1;
    }
    template <Text Class, Text Doc>
    static constexpr auto doc = detail::signature_doc<Class, Doc, detail::Receiver::none, Params...>;
};

// A type whose instances come from tp_new alone: `create` is its tp_new (errors name the
// function `Function`) and `doc` the documentation of class `Class` carrying the text
// signature. `Impl(type, values...)` returns the new object.
template <Text Class, Text Function, Text Doc, auto Impl, typename... Params>
struct factory {
    static PyObject* create(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return detail::Parameters<Function, Params...>::template tuple_call<Impl>(type, args, kwargs);
    }
    static constexpr auto doc = detail::signature_doc<Class, Doc, detail::Receiver::none, Params...>;
};

}  // namespace tamsel::binding
