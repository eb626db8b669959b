// Native functions: a call (bind, check, run the body, turn its failure into
// a Python error with a traceback entry) and the creation of a function from
// its parameters, defaults and annotations.
#include "internal.hpp"

#include <stdexcept>

namespace rt {
namespace detail {

namespace {

void add_traceback(FunctionObject *f) {
    // Show the native frame in tracebacks, as a Python function's would be.
    // Tracebacks of Python code name the function, not its qualified name.
    _PyTraceback_Add(f->code->spec.name.c_str(), f->code->source.c_str(), 0);
}

PyObject *fn_call(FunctionObject *f, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    const size_t n = f->code->spec.params.size();
    py::object stackbuf[8];
    std::vector<py::object> heapbuf;
    py::object *slots = stackbuf;
    if (n > 8) {
        heapbuf.resize(n);
        slots = heapbuf.data();
    }
    try {
        if (!bind(f, args, nargsf, kwnames, slots)) return nullptr;
        if (!apply_checks(f, slots)) return nullptr;
        Call call(f, slots, n);
        py::object result = f->code->spec.body(call);
        if (!result) return py::none().release().ptr();
        return result.release().ptr();
    } catch (...) {
        set_error_from_exception(f->qualname);
    }
    add_traceback(f);
    return nullptr;
}

PyObject *fn_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    if (!enter_native_call()) return nullptr;
    PyObject *result = fn_call(reinterpret_cast<FunctionObject *>(self), args, nargsf, kwnames);
    leave_native_call();
    return result;
}

py::object eval_in(const py::dict &globals, const std::string &expr) {
    PyObject *r = PyRun_String(expr.c_str(), Py_eval_input, globals.ptr(), globals.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

}  // namespace

py::object make_function_object(FunctionSpec spec, const std::string &qualname, const std::string &module_name,
                                py::dict globals, const std::string &source) {
    auto *code = new Compiled();
    code->source = source;
    code->spec = std::move(spec);
    code->code_name = PyUnicode_InternFromString(code->spec.name.c_str());
    if (!code->code_name) {
        delete code;
        throw_current();
    }
    std::vector<py::object> pos_defaults;
    py::dict kwdefaults;
    py::dict annotations;
    int stage = 0;  // 0 positional, 1 after *args, 2 after **kwargs
    try {
        auto &params = code->spec.params;
        for (size_t i = 0; i < params.size(); i++) {
            Param &p = params[i];
            PyObject *name = PyUnicode_InternFromString(p.name.c_str());
            if (!name) throw_current();
            code->names.push_back(name);
            py::object def;
            if (p.has_default) {
                def = p.default_expr.empty() ? p.default_value : eval_in(globals, p.default_expr);
                // A checked parameter's default obeys its check now, at definition.
                if (p.check == Check::StrOrNone && !def.is_none() && !PyUnicode_CheckExact(def.ptr())) {
                    set_incorrect_type(p.name, def.ptr());
                    throw_current();
                }
                if (p.check == Check::Float) {
                    double d = PyFloat_AsDouble(def.ptr());
                    if (d == -1.0 && PyErr_Occurred()) throw_current();
                    def = py::float_(d);
                }
                p.default_value = py::object();
            }
            if (p.check == Check::Float) code->has_float = true;
            if (p.check == Check::StrOrNone) code->has_str = true;
            switch (p.kind) {
                case Kind::Positional:
                    if (stage != 0) throw std::logic_error("positional parameter after *args: " + p.name);
                    code->npos++;
                    if (def) {
                        pos_defaults.push_back(def);
                    } else if (!pos_defaults.empty()) {
                        throw std::logic_error("non-default parameter follows default parameter: " + p.name);
                    }
                    break;
                case Kind::VarArgs:
                    if (stage != 0) throw std::logic_error("misplaced *args: " + p.name);
                    code->varargs = (Py_ssize_t)i;
                    stage = 1;
                    break;
                case Kind::KeywordOnly:
                    if (stage > 1) throw std::logic_error("keyword-only parameter after **kwargs: " + p.name);
                    if (code->kwonly_end == 0) code->kwonly_begin = (Py_ssize_t)i;
                    code->kwonly_end = (Py_ssize_t)i + 1;
                    stage = 1;
                    if (def) kwdefaults[py::str(p.name)] = def;
                    break;
                case Kind::VarKeywords:
                    if (stage > 1) throw std::logic_error("second **kwargs: " + p.name);
                    code->varkw = (Py_ssize_t)i;
                    stage = 2;
                    break;
            }
            if (!p.annotation.empty()) annotations[py::str(p.name)] = eval_in(globals, p.annotation);
        }
        if (code->kwonly_end == 0) code->kwonly_begin = code->kwonly_end = 0;
        if (!code->spec.returns.empty()) annotations["return"] = eval_in(globals, code->spec.returns);
    } catch (...) {
        delete code;
        throw;
    }

    auto *f = PyObject_GC_New(FunctionObject, function_type);
    if (!f) {
        delete code;
        throw_current();
    }
    // (PyObject_GC_New took the reference heap-type instances own.)
    f->vectorcall = fn_vectorcall;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->code = code;
    f->name = py::str(code->spec.name).release().ptr();
    f->qualname = py::str(qualname).release().ptr();
    f->module = py::str(module_name).release().ptr();
    f->doc = code->spec.doc ? py::str(code->spec.doc).release().ptr() : py::none().release().ptr();
    if (pos_defaults.empty()) {
        f->defaults = nullptr;
    } else {
        py::tuple t(pos_defaults.size());
        for (size_t i = 0; i < pos_defaults.size(); i++) t[i] = pos_defaults[i];
        f->defaults = t.release().ptr();
    }
    f->kwdefaults = kwdefaults.size() ? kwdefaults.release().ptr() : nullptr;
    f->annotations = annotations.release().ptr();
    f->globals = globals.inc_ref().ptr();
    f->klass = nullptr;
    PyObject_GC_Track(f);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(f));
}

}  // namespace detail
}  // namespace rt
