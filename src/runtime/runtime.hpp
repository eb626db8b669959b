// The small runtime compiled into every extension module of the package:
// what a module body uses to be read like the Python it stands for.
//
// It gives C++ code the objects a Python module is made of: functions that
// bind, default, annotate and fail like Python functions; classes built
// through their metaclass; names looked up in the module's namespace at call
// time; and raising exceptions the way a `raise` statement would.
#pragma once

// Not pybind11.h: its function and class machinery (the dispatcher, the
// internals, the type objects) is compiled into every unit that includes it,
// some seconds a unit whatever the unit holds. Modules use only the object
// layer below it; the runtime's own files include the rest.
#include <pybind11/cast.h>

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace rt {

namespace py = pybind11;

// ---- parameters -------------------------------------------------------------------

enum class Kind : unsigned char { Positional, VarArgs, KeywordOnly, VarKeywords };

// What happens to an argument after binding and before the body runs.
enum class Check : unsigned char {
    None,
    StrOrNone,  // exactly a str (no subclass) or None, else TypeError
    Float,      // converted with float semantics of the C API (int -> float)
};

struct Param {
    std::string name;
    Kind kind = Kind::Positional;
    Check check = Check::None;
    bool has_default = false;
    py::object default_value;  // a value, or
    std::string default_expr;  // an expression evaluated in the module namespace
    std::string annotation;    // expression evaluated in the module namespace

    explicit Param(const char *n) : name(n) {}
    Param &def(py::object v) {
        has_default = true;
        default_value = std::move(v);
        return *this;
    }
    Param &def_none() { return def(py::none()); }
    Param &def_expr(const char *expr) {
        has_default = true;
        default_expr = expr;
        return *this;
    }
    Param &ann(const char *expr) {
        annotation = expr;
        return *this;
    }
    // Annotated `str` and checked at the call: exactly a str or None, else TypeError.
    Param &checked_str() {
        check = Check::StrOrNone;
        if (annotation.empty()) annotation = "str";
        return *this;
    }
    // Annotated `float` and converted at the call as float() converts (or refused).
    Param &checked_float() {
        check = Check::Float;
        if (annotation.empty()) annotation = "float";
        return *this;
    }
};

inline Param arg(const char *name) {
    return Param(name);
}
inline Param varargs(const char *name) {
    Param p(name);
    p.kind = Kind::VarArgs;
    return p;
}
inline Param kwonly(const char *name) {
    Param p(name);
    p.kind = Kind::KeywordOnly;
    return p;
}
inline Param varkw(const char *name) {
    Param p(name);
    p.kind = Kind::VarKeywords;
    return p;
}

// ---- what a definition may add: docstring, return annotation, property kinds ------

struct Options {
    const char *doc = nullptr;      // None when absent
    const char *returns = nullptr;  // no return annotation when absent
    const char *refusal = nullptr;  // a property whose assignment raises AttributeError(refusal)
    py::object property_type;       // builtin property when absent
};
struct Doc {
    const char *text;
};
struct Returns {
    const char *annotation;
};
struct RefuseAssignment {
    const char *message;
};
struct PropertyType {
    py::object type;
};
inline Doc doc(const char *text) {
    return Doc{text};
}
inline Returns returns(const char *annotation) {
    return Returns{annotation};
}
inline RefuseAssignment refuse_assignment(const char *message) {
    return RefuseAssignment{message};
}
inline PropertyType property_type(py::object type) {
    return PropertyType{std::move(type)};
}

template <typename T>
struct is_option : std::false_type {};
template <>
struct is_option<Doc> : std::true_type {};
template <>
struct is_option<Returns> : std::true_type {};
template <>
struct is_option<RefuseAssignment> : std::true_type {};
template <>
struct is_option<PropertyType> : std::true_type {};
template <typename... Option>
using if_options = std::enable_if_t<(is_option<Option>::value && ...)>;

inline void apply(Options &o, Doc d) {
    o.doc = d.text;
}
inline void apply(Options &o, Returns r) {
    o.returns = r.annotation;
}
inline void apply(Options &o, RefuseAssignment r) {
    o.refusal = r.message;
}
inline void apply(Options &o, PropertyType p) {
    o.property_type = std::move(p.type);
}
template <typename... Option>
Options options(Option... option) {
    Options o;
    (apply(o, std::move(option)), ...);
    return o;
}

// ---- one call ------------------------------------------------------------------

struct FunctionObject;  // the native function instance (opaque)
class Call;
namespace detail {
py::dict call_globals(const Call &c);  // the namespace of the called function's module
}  // namespace detail

// One call of a native function: the bound arguments, in parameter order (a
// `*args` slot holds a tuple, a `**kwargs` slot a dict).
class Call {
public:
    Call(FunctionObject *fn, py::object *args, size_t n) : fn_(fn), args_(args), n_(n) {}
    py::handle operator[](size_t i) const { return args_[i]; }
    py::handle self() const { return args_[0]; }
    size_t size() const { return n_; }
    // Every bound argument, for a structured binding that names them:
    // `auto [self, key, value] = c.args<3>();`. Each is a reference of its
    // own, as a Python local is: it may be stored, returned or rebound.
    template <size_t N>
    std::array<py::object, N> args() const {
        if (N != n_) throw std::logic_error("Call::args: the function has another number of parameters");
        std::array<py::object, N> out;
        for (size_t i = 0; i < N; i++) out[i] = args_[i];
        return out;
    }
    // A module-level name (or builtin) as it is bound *now*, so patches and
    // reassignments of module globals take effect like in Python code.
    py::object g(const char *name) const;
    // super(<defining class>, self)
    py::object super() const;

private:
    friend py::dict detail::call_globals(const Call &c);
    FunctionObject *fn_;
    py::object *args_;
    size_t n_;
};

using Body = std::function<py::object(Call &)>;

// ---- a module's namespace -------------------------------------------------------

class Module {
public:
    explicit Module(py::object m);

    std::string name() const { return name_; }

    // `import a.b.c` binds `a`; `import a.b.c as x` binds `x` to a.b.c.
    void import(const char *module, const char *as = nullptr);
    // `from module import n1, n2 as alias`: each entry "name" or "name as alias".
    void from(const char *module, std::initializer_list<const char *> names);
    // The same import made on first use: the names are bound when code of
    // the module reads them, or when anyone reads them as attributes of the
    // module (getattr, mock.patch), through a module-level __getattr__. For
    // dependencies too heavy to load for every user.
    void lazy_from(const char *module, std::initializer_list<const char *> names);
    void set(const char *name, py::object value);
    py::object get(const char *name) const;

    // `def name(params): body`, bound in the namespace and returned; options
    // are rt::doc(...) and rt::returns(...).
    template <typename... Option, typename = if_options<Option...>>
    py::object def(const char *name, std::vector<Param> params, Body body, Option... option) {
        return def_with(name, std::move(params), std::move(body), options(std::move(option)...));
    }
    py::object def_with(const char *name, std::vector<Param> params, Body body, const Options &options);

    // A function of this module named `qualname`, not bound anywhere.
    py::object function(const char *name, const std::string &qualname, std::vector<Param> params, Body body,
                        const Options &options);

private:
    py::object m_;
    py::dict globals_;
    std::string name_;
    py::object lazy_;  // name -> (module, attribute), made by the first lazy_from
};

// ---- a class statement ----------------------------------------------------------

// Builds a class through its metaclass with members in definition order.
class ClassDef {
public:
    ClassDef(Module &m, const char *name, std::vector<py::object> bases = {}, const char *doc = nullptr);

    // Methods; options are rt::doc(...) and rt::returns(...).
    template <typename... Option, typename = if_options<Option...>>
    ClassDef &method(const char *name, std::vector<Param> params, Body body, Option... option) {
        return member(name, std::move(params), std::move(body), options(std::move(option)...), Decorator::None);
    }
    template <typename... Option, typename = if_options<Option...>>
    ClassDef &abstractmethod(const char *name, std::vector<Param> params, Body body, Option... option) {
        return member(name, std::move(params), std::move(body), options(std::move(option)...), Decorator::Abstract);
    }
    template <typename... Option, typename = if_options<Option...>>
    ClassDef &staticmethod(const char *name, std::vector<Param> params, Body body, Option... option) {
        return member(name, std::move(params), std::move(body), options(std::move(option)...), Decorator::Static);
    }
    template <typename... Option, typename = if_options<Option...>>
    ClassDef &classmethod(const char *name, std::vector<Param> params, Body body, Option... option) {
        return member(name, std::move(params), std::move(body), options(std::move(option)...), Decorator::Class);
    }
    // A read-only property; options are rt::doc, rt::returns,
    // rt::refuse_assignment (assignment raises AttributeError with that
    // message instead of the interpreter's read-only error) and
    // rt::property_type (a property subclass).
    template <typename... Option, typename = if_options<Option...>>
    ClassDef &property(const char *name, Body getter, Option... option) {
        return property_with(name, std::move(getter), nullptr, options(std::move(option)...));
    }
    // A property with a setter (`setter(self, value)`).
    template <typename... Option, typename = if_options<Option...>>
    ClassDef &property(const char *name, Body getter, Body setter, Option... option) {
        return property_with(name, std::move(getter), std::move(setter), options(std::move(option)...));
    }
    ClassDef &attr(const char *name, py::object value);

    // Creates the class, binds it in the module namespace and returns it.
    py::object build();

private:
    enum class Decorator : std::uint8_t { None, Abstract, Static, Class };
    ClassDef &member(const char *name, std::vector<Param> params, Body body, const Options &options,
                     Decorator decorator);
    ClassDef &property_with(const char *name, Body getter, Body setter, const Options &options);
    py::object func(const char *name, std::vector<Param> params, Body body, const Options &options);

    Module &m_;
    std::string name_;
    std::vector<py::object> bases_;
    const char *doc_;
    std::vector<std::pair<std::string, py::object>> members_;
    std::vector<py::object> functions_;
};

// ---- raising ---------------------------------------------------------------------

// `raise exc` for an exception instance.
[[noreturn]] void raise_instance(py::handle exc);
// `raise exc_type(*args, **kwargs)`; keyword arguments as "name"_a = value.
template <typename... Args>
[[noreturn]] void raise(py::handle exc_type, Args &&...args) {
    raise_instance(exc_type(std::forward<Args>(args)...));
}
// The refusal of a value the caller gave, as the calling module's code
// raises it: its own `ExperimentTrackingException` (looked up in that
// module now, so a patch of that module's name takes effect), with the
// error code INVALID_PARAMETER_VALUE.
py::object invalid_parameter(const Call &c, py::handle message);
[[noreturn]] void refuse(const Call &c, py::handle message);
// `raise exc` as if inside `except` that caught `caught`: the caught
// exception becomes the new one's __context__.
[[noreturn]] void raise_instance_while_handling(const py::error_already_set &caught, py::handle exc);
template <typename... Args>
[[noreturn]] void raise_while_handling(const py::error_already_set &caught, py::handle exc_type, Args &&...args) {
    raise_instance_while_handling(caught, exc_type(std::forward<Args>(args)...));
}
// `return call()`, except that an exception of type `from` leaving it is
// raised again as `to(caught.<attribute>)`, chained as a raise inside
// `except` would chain it.
py::object translating(py::handle from, py::handle to, const char *attribute, const std::function<py::object()> &call);

// `try: return body() finally: undo()`: `undo` runs however `body` ends,
// and an exception `undo` raises replaces the one under way, as in Python.
template <typename Body, typename Undo>
decltype(auto) finally(Body &&body, Undo &&undo) {
    using Result = decltype(body());
    if constexpr (std::is_void_v<Result>) {
        try {
            body();
        } catch (...) {
            undo();
            throw;
        }
        undo();
    } else {
        Result result = [&]() -> Result {
            try {
                return body();
            } catch (...) {
                undo();
                throw;
            }
        }();
        undo();
        return result;
    }
}

// ---- the GIL ---------------------------------------------------------------------

// The GIL released for the length of a scope.
class WithoutGil {
public:
    WithoutGil() : state_(PyEval_SaveThread()) {}
    ~WithoutGil() { PyEval_RestoreThread(state_); }
    WithoutGil(const WithoutGil &) = delete;
    WithoutGil &operator=(const WithoutGil &) = delete;

private:
    PyThreadState *state_;
};

// The GIL taken by a thread Python did not start (or any), for the length of a scope.
class WithGil {
public:
    WithGil() : state_(PyGILState_Ensure()) {}
    ~WithGil() { PyGILState_Release(state_); }
    WithGil(const WithGil &) = delete;
    WithGil &operator=(const WithGil &) = delete;

private:
    PyGILState_STATE state_;
};

// ---- values ----------------------------------------------------------------------

// A reference of its own to a value held only for the moment (a loop's item,
// a parameter of a helper), to store or return.
inline py::object own(py::handle value) {
    return py::reinterpret_borrow<py::object>(value);
}

// str(obj) as std::string. Only for text known to be UTF-8 encodable (names
// the code itself chose): text Python holds can contain lone surrogates
// (os.environ, os.fsdecode) that UTF-8 cannot encode. Build messages with
// text() and compare values as Python objects instead.
std::string str(py::handle obj);

// One piece of a message: literal text, or a value entering through str().
// Implicit by design: text({"a ", value, "."}) takes any of these as they are.
class Piece {
public:
    Piece(const char *literal) : text_(py::str(literal)) {}         // NOLINT(misc-explicit-constructor)
    Piece(const std::string &literal) : text_(py::str(literal)) {}  // NOLINT(misc-explicit-constructor)
    Piece(py::handle value) : text_(py::str(value)) {}              // NOLINT(misc-explicit-constructor)
    template <typename Policy>
    Piece(const py::detail::accessor<Policy> &value)  // NOLINT(misc-explicit-constructor)
        : text_(py::str(py::object(value))) {}
    const py::str &text() const { return text_; }

private:
    py::str text_;
};

// The pieces joined into one Python str, as "a" + str(x) + "b" would be.
py::str text(std::initializer_list<Piece> pieces);

// truth value, raising what __bool__ raises
bool truthy(py::handle obj);
// a == b, as Python compares (raising what __eq__ raises)
bool equal(py::handle a, py::handle b);
// the result of a == b itself, before anyone asks for its truth
py::object eq(py::handle a, py::handle b);
// `key in container`
bool contains(py::handle container, py::handle key);
bool isinstance(py::handle obj, py::handle cls);
bool issubclass(py::handle cls, py::handle base);
// `a, b = item`, with the interpreter's own errors for an item that is not
// iterable or does not hold exactly two values.
std::pair<py::object, py::object> unpack2(py::handle item);
// `next(iterator)`, except that the end is a null object, not StopIteration.
py::object next_or_end(py::handle iterator);
// A builtin by name (`type`, `object`, `property`, ...).
py::object builtin(const char *name);

// `text` (anything with a str()) as a terminal may show it: every control
// character (C0, DEL, C1, the line and paragraph separators, the marks that
// reorder text) written as its escape (\x1b, \u202e), so that text from a
// file or a server can neither move the cursor, clear the screen nor forge
// a line of its own.
py::str printable(py::handle text);

// Why the folder at `path` may not hold what the package keeps for its user
// (a journal, an offline store, a login): another user owns it (or the
// symbolic link that names it), or group or others may write in it; None
// when it may, or does not exist yet. The reason names the folder's owner or
// mode and says how to mend it.
py::object folder_refusal(py::handle path);

// A lazy iterator that behaves like a generator: `next(state)` returns the
// next item, or a null object at the end. Everything the iterator needs
// between items lives in `state`, where the garbage collector sees it: `next`
// itself must hold (capture) no Python object.
py::object make_iterator(py::list state, std::function<py::object(py::list &state)> next);

// `import name`: the module itself (a.b.c, not a).
py::object import_module(const char *name);

// The module-definition macro's two halves: the definition of a module
// (multi-phase, as pybind11's own macro makes it), and the run of its body.
PyObject *init_module(PyModuleDef *def, const char *name, int (*exec)(PyObject *)) noexcept;
int exec_module(PyObject *module, void (*body)(py::object &)) noexcept;

}  // namespace rt

// Defines an extension module as PYBIND11_MODULE does, except that an error
// raised while the module initialises reaches the importer as itself (a
// missing dependency is ModuleNotFoundError, a bad value its TypeError), as
// it would from Python source, not wrapped in ImportError. (`variable` names
// the body's parameter: a declaration, where parentheses cannot go.)
// NOLINTBEGIN(bugprone-macro-parentheses)
#define RT_MODULE(name, variable)                                                                         \
    static void PYBIND11_CONCAT(rt_module_body_, name)(::pybind11::object &);                             \
    static int PYBIND11_CONCAT(rt_module_exec_, name)(PyObject * pm) {                                    \
        return ::rt::exec_module(pm, &PYBIND11_CONCAT(rt_module_body_, name));                            \
    }                                                                                                     \
    extern "C" PYBIND11_EXPORT PyObject *PYBIND11_CONCAT(PyInit_, name)() {                               \
        static PyModuleDef def;                                                                           \
        return ::rt::init_module(&def, PYBIND11_TOSTRING(name), &PYBIND11_CONCAT(rt_module_exec_, name)); \
    }                                                                                                     \
    void PYBIND11_CONCAT(rt_module_body_, name)(::pybind11::object & variable)
// NOLINTEND(bugprone-macro-parentheses)
