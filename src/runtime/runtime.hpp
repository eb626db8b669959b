// The small runtime compiled into every extension module of the package.
//
// It gives C++ code the objects a Python module is made of: functions that
// bind, default, annotate and fail like Python functions; classes built
// through their metaclass; names looked up in the module's namespace at call
// time; and raising exceptions the way a `raise` statement would.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace rt {

namespace py = pybind11;

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
    py::object default_value;     // a value, or
    std::string default_expr;     // an expression evaluated in the module namespace
    std::string annotation;       // expression evaluated in the module namespace

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
    // Annotated `str` and enforced: exactly a str or None.
    Param &str() {
        check = Check::StrOrNone;
        if (annotation.empty()) annotation = "str";
        return *this;
    }
    // Annotated `float` and converted at the call.
    Param &flt() {
        check = Check::Float;
        if (annotation.empty()) annotation = "float";
        return *this;
    }
};

inline Param arg(const char *name) { return Param(name); }
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

struct FunctionObject;  // the native function instance (opaque)

// One call of a native function: the bound arguments, in parameter order
// (a `*args` slot holds a tuple, a `**kwargs` slot a dict).
class Call {
public:
    Call(FunctionObject *fn, py::object *args, size_t n) : fn_(fn), args_(args), n_(n) {}
    py::handle operator[](size_t i) const { return args_[i]; }
    py::handle self() const { return args_[0]; }
    size_t size() const { return n_; }
    // A module-level name (or builtin) as it is bound *now*, so patches and
    // reassignments of module globals take effect like in Python code.
    py::object g(const char *name) const;
    // The class whose body defined this function (the `__class__` cell).
    py::object klass() const;
    // super(<defining class>, self)
    py::object super() const;
    py::object globals() const;

private:
    FunctionObject *fn_;
    py::object *args_;
    size_t n_;
};

using Body = std::function<py::object(Call &)>;

struct FunctionSpec {
    std::string name;
    std::vector<Param> params;
    const char *doc = nullptr;
    std::string returns;  // return annotation expression, empty for none
    Body body;
};

// Must be called first in every module's init.
void init_runtime();

// Builds the module's namespace the way Python source would.
class Module {
public:
    explicit Module(py::module_ m);

    py::module_ &module() { return m_; }
    py::dict globals() const { return globals_; }
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
    py::object eval(const std::string &expr) const;

    // A module-level function, bound in the namespace and returned.
    py::object def(const char *name, std::vector<Param> params, const char *doc, const char *returns, Body body);

    // A function object without binding it anywhere.
    py::object make_function(FunctionSpec spec, const std::string &qualname);

private:
    py::module_ m_;
    py::dict globals_;
    std::string name_;
    py::object lazy_;  // name -> (module, attribute), made by the first lazy_from
};

// Builds a class through its metaclass with members in definition order.
class ClassDef {
public:
    ClassDef(Module &m, const char *name, std::vector<py::object> bases = {}, const char *doc = nullptr);

    ClassDef &method(const char *name, std::vector<Param> params, const char *doc, const char *returns, Body body);
    ClassDef &abstractmethod(const char *name, std::vector<Param> params, const char *doc, const char *returns,
                             Body body);
    ClassDef &staticmethod(const char *name, std::vector<Param> params, const char *doc, const char *returns,
                           Body body);
    ClassDef &classmethod(const char *name, std::vector<Param> params, const char *doc, const char *returns,
                          Body body);
    // A read-only property; with `refusal` set, assignment raises
    // AttributeError(refusal) instead of the interpreter's read-only error.
    ClassDef &property(const char *name, const char *doc, const char *returns, Body getter,
                       const char *refusal = nullptr, py::object property_type = py::object());
    ClassDef &property_rw(const char *name, const char *doc, Body getter, Body setter);
    ClassDef &attr(const char *name, py::object value);

    // Creates the class, binds it in the module namespace and returns it.
    py::object build();

private:
    py::object func(const char *name, std::vector<Param> params, const char *doc, const char *returns, Body body);

    Module &m_;
    std::string name_;
    std::vector<py::object> bases_;
    const char *doc_;
    std::vector<std::pair<std::string, py::object>> members_;
    std::vector<py::object> functions_;
};

// ---- helpers for bodies ----------------------------------------------------

// Raises `exc_type(*args, **kwargs)`.
[[noreturn]] void raise(py::handle exc_type, py::tuple args = py::tuple(), py::dict kwargs = py::dict());
[[noreturn]] void raise(py::handle exc_type, const std::string &message);
// Raises `exc_type(*args, **kwargs)` as if inside `except` that caught
// `caught`: the caught exception becomes the new one's __context__.
[[noreturn]] void raise_while_handling(const py::error_already_set &caught, py::handle exc_type,
                                       py::tuple args = py::tuple(), py::dict kwargs = py::dict());

// str(obj) as std::string. Only for text known to be UTF-8 encodable (names
// the code itself chose): text Python holds can contain lone surrogates
// (os.environ, os.fsdecode) that UTF-8 cannot encode. Build messages with
// text() and compare values as Python objects instead.
std::string str(py::handle obj);

// One piece of a message: literal text, or a value entering through str().
class Piece {
public:
    Piece(const char *literal) : text_(py::str(literal)) {}
    Piece(const std::string &literal) : text_(py::str(literal)) {}
    Piece(py::handle value) : text_(py::str(value)) {}
    template <typename Policy>
    Piece(const py::detail::accessor<Policy> &value) : text_(py::str(py::object(value))) {}
    const py::str &text() const { return text_; }

private:
    py::str text_;
};

// The pieces joined into one Python str, as "a" + str(x) + "b" would be.
py::str text(std::initializer_list<Piece> pieces);
// truth value, raising what __bool__ raises
bool truthy(py::handle obj);
bool is_none(py::handle obj);
// a == b, as Python compares (raising what __eq__ raises)
bool equal(py::handle a, py::handle b);
// `a, b = item`, with the interpreter's own errors for an item that is not
// iterable or does not hold exactly two values.
std::pair<py::object, py::object> unpack2(py::handle item);
bool isinstance(py::handle obj, py::handle cls);

// A lazy iterator that behaves like a generator: `next(state)` returns the
// next item, or a null object at the end. Everything the iterator needs
// between items lives in `state`, where the garbage collector sees it: `next`
// itself must hold (capture) no Python object.
py::object make_iterator(py::list state, std::function<py::object(py::list &state)> next);

// Runs a module's body for the module-definition macro below.
int exec_module(PyObject *module, void (*body)(py::module_ &)) noexcept;

}  // namespace rt

// Defines an extension module as PYBIND11_MODULE does, except that an error
// raised while the module initialises reaches the importer as itself (a
// missing dependency is ModuleNotFoundError, a bad value its TypeError), as
// it would from Python source, not wrapped in ImportError.
#define RT_MODULE(name, variable)                                                    \
    PYBIND11_MODULE_PYINIT(name)                                                     \
    static void PYBIND11_CONCAT(rt_module_body_, name)(::pybind11::module_ &);       \
    int PYBIND11_CONCAT(pybind11_exec_, name)(PyObject * pm) {                       \
        return ::rt::exec_module(pm, &PYBIND11_CONCAT(rt_module_body_, name));       \
    }                                                                                \
    void PYBIND11_CONCAT(rt_module_body_, name)(::pybind11::module_ & variable)
