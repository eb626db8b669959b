// A module's namespace, built the way Python source builds it: imports bound
// in order (some on first use), functions defined into it, and the call-time
// lookup of its globals that lets mock.patch and reassignment take effect.
#include "internal.hpp"

#include <cstring>
#include <unordered_map>

namespace rt {

namespace detail {

PyTypeObject *function_type = nullptr;
PyTypeObject *iterator_type = nullptr;
PyObject *builtins_dict = nullptr;

void init_runtime() {
    if (function_type) return;
    function_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&function_spec));
    if (!function_type) throw py::error_already_set();
    iterator_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&iterator_spec));
    if (!iterator_type) throw py::error_already_set();
    PyObject *b = PyImport_ImportModule("builtins");
    if (!b) throw py::error_already_set();
    builtins_dict = PyModule_GetDict(b);
    Py_INCREF(builtins_dict);
    Py_DECREF(b);
}

}  // namespace detail

namespace {

// The looked-up names as interned str objects, made once: the names are the
// module's own literals, so the text behind a pointer is checked, not trusted.
PyObject *interned(const char *name) {
    static std::unordered_map<const char *, PyObject *> cache;
    auto found = cache.find(name);
    if (found != cache.end() && PyUnicode_CompareWithASCIIString(found->second, name) == 0) return found->second;
    PyObject *s = PyUnicode_InternFromString(name);
    if (!s) throw py::error_already_set();
    if (found != cache.end()) Py_DECREF(found->second);
    cache[name] = s;
    return s;
}

// "name" or "name as alias"
std::pair<std::string, std::string> split_alias(const char *entry) {
    std::string spec(entry), name = spec, alias = spec;
    auto pos = spec.find(" as ");
    if (pos != std::string::npos) {
        name = spec.substr(0, pos);
        alias = spec.substr(pos + 4);
    }
    return {name, alias};
}

// The value `from module import name` binds.
py::object import_from(const std::string &module, const std::string &name) {
    py::module_ mod = py::module_::import(module.c_str());
    if (py::hasattr(mod, name.c_str())) return mod.attr(name.c_str());
    // `from package import submodule`
    std::string full = module + "." + name;
    try {
        return py::module_::import(full.c_str());
    } catch (py::error_already_set &e) {
        // As Python does: a submodule that exists but fails to import
        // reports its own error, not a missing name.
        if (!e.matches(PyExc_ModuleNotFoundError) || rt::str(e.value().attr("name")) != full) throw;
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name.c_str(), module.c_str());
        throw py::error_already_set();
    }
}

}  // namespace

// ---- Call ---------------------------------------------------------------------

py::object Call::g(const char *name) const {
    PyObject *key = interned(name);
    PyObject *v = PyDict_GetItemWithError(fn_->globals, key);
    if (!v && !PyErr_Occurred()) v = PyDict_GetItemWithError(detail::builtins_dict, key);
    if (v) return py::reinterpret_borrow<py::object>(v);
    if (PyErr_Occurred()) throw py::error_already_set();
    // A name the module imports on first use: its __getattr__ binds it.
    if (PyObject *resolve = PyDict_GetItemString(fn_->globals, "__getattr__")) {
        PyObject *r = PyObject_CallOneArg(resolve, key);
        if (r) return py::reinterpret_steal<py::object>(r);
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
}

py::dict detail::call_globals(const Call &c) {
    return py::reinterpret_borrow<py::dict>(c.fn_->globals);
}

py::object Call::super() const {
    if (!fn_->klass) {
        PyErr_SetString(PyExc_RuntimeError, "super(): __class__ cell not found");
        throw py::error_already_set();
    }
    PyObject *s =
        PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type), fn_->klass, args_[0].ptr(), nullptr);
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

// ---- Module -------------------------------------------------------------------

Module::Module(py::object m) : m_(std::move(m)) {
    detail::init_runtime();
    globals_ = m_.attr("__dict__");
    name_ = py::str(m_.attr("__name__")).cast<std::string>();
}

void Module::import(const char *module, const char *as) {
    py::module_ mod = py::module_::import(module);
    if (as) {
        set(as, mod);
    } else {
        std::string top(module);
        auto dot = top.find('.');
        if (dot != std::string::npos) top = top.substr(0, dot);
        set(top.c_str(), py::module_::import(top.c_str()));
    }
}

void Module::from(const char *module, std::initializer_list<const char *> names) {
    py::module_::import(module);
    for (const char *entry : names) {
        auto [name, alias] = split_alias(entry);
        set(alias.c_str(), import_from(module, name));
    }
}

void Module::lazy_from(const char *module, std::initializer_list<const char *> names) {
    if (!lazy_) {
        lazy_ = py::dict();
        py::dict table = py::reinterpret_borrow<py::dict>(lazy_);
        std::string module_name = name_;
        // What `def __getattr__(name)` at module level does in Python source:
        // reached only for names the namespace does not hold (yet), so a name
        // bound once (or patched) is never looked up here again.
        def("__getattr__", {arg("name")}, [table, module_name](Call &c) -> py::object {
            py::handle name = c[0];
            PyObject *entry = PyUnicode_Check(name.ptr()) ? PyDict_GetItemWithError(table.ptr(), name.ptr()) : nullptr;
            if (!entry) {
                if (PyErr_Occurred()) throw py::error_already_set();
                PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%S'", module_name.c_str(),
                             name.ptr());
                throw py::error_already_set();
            }
            py::tuple source = py::reinterpret_borrow<py::tuple>(entry);
            py::object value = import_from(rt::str(source[0]), rt::str(source[1]));
            detail::call_globals(c)[name] = value;
            return value;
        });
        def("__dir__", {}, [table](Call &c) -> py::object {
            py::list listing(0);
            py::set seen;
            for (auto item : detail::call_globals(c)) seen.add(item.first);
            for (auto item : table) seen.add(item.first);
            for (auto n : seen) listing.append(n);
            listing.attr("sort")();
            return std::move(listing);
        });
    }
    for (const char *entry : names) {
        auto [name, alias] = split_alias(entry);
        lazy_[py::str(alias)] = py::make_tuple(py::str(module), py::str(name));
    }
}

void Module::set(const char *name, py::object value) {
    globals_[name] = std::move(value);
}

py::object Module::get(const char *name) const {
    return globals_[name];
}

py::object Module::function(const char *name, const std::string &qualname, std::vector<Param> params, Body body,
                            const Options &options) {
    detail::FunctionSpec spec;
    spec.name = name;
    spec.params = std::move(params);
    spec.doc = options.doc;
    spec.returns = options.returns ? options.returns : "";
    spec.body = std::move(body);
    // Not the shared library's path: the traceback module would read it as
    // Python source (3.9's linecache fails with SyntaxError on a binary file,
    // breaking traceback.format_exception and logging.exception). A name in
    // angle brackets is one linecache knows has no source, like "<frozen ...>".
    std::string source = "<" + name_ + ">";
    return detail::make_function_object(std::move(spec), qualname, name_, globals_, source);
}

py::object Module::def_with(const char *name, std::vector<Param> params, Body body, const Options &options) {
    py::object f = function(name, name, std::move(params), std::move(body), options);
    set(name, f);
    return f;
}

}  // namespace rt
