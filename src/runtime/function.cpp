// Native functions: a call (bind, check, run the body, turn its failure into
// a Python error with a traceback entry) and the creation of a function from
// its parameters, defaults and annotations.
#include "internal.hpp"

#include <memory>
#include <stdexcept>

namespace rt::detail {

namespace {

void add_traceback(FunctionObject *f) {
    // Show the native frame in tracebacks, as a Python function's would be.
    // Tracebacks of Python code name the function, not its qualified name.
    _PyTraceback_Add(f->code->spec.name.c_str(), f->code->source.c_str(), 0);
}

// Arguments of a call are bound into slots on the stack when there are this
// many parameters or fewer (nearly every function), on the heap beyond.
constexpr size_t STACK_SLOTS = 8;

// CPython calls this through the vectorcall slot: nothing may escape it, and
// every failure, the slots' allocation included, becomes the Python error.
PyObject *fn_call(FunctionObject *f, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    try {
        const size_t n = f->code->spec.params.size();
        py::object stackbuf[STACK_SLOTS];
        std::vector<py::object> heapbuf;
        py::object *slots = stackbuf;
        if (n > STACK_SLOTS) {
            heapbuf.resize(n);
            slots = heapbuf.data();
        }
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

PyObject *fn_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
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

// Where a parameter may stand, as CPython's grammar orders them.
enum class Stage : std::uint8_t { Positional, AfterVarArgs, AfterVarKeywords };

// What the definition computes besides the compiled parameters: defaults and
// annotations, evaluated in the module namespace.
struct Evaluated {
    std::vector<py::object> pos_defaults;
    py::dict kwdefaults;
    py::dict annotations;
};

// A parameter's default, evaluated now; a checked parameter's obeys its
// check at definition, as it would at a call.
py::object default_of(Param &p, const py::dict &globals) {
    py::object def = p.default_expr.empty() ? p.default_value : eval_in(globals, p.default_expr);
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
    return def;
}

// The binding plan of `spec`'s parameters, their defaults and annotations.
std::unique_ptr<Compiled> compile(FunctionSpec spec, const py::dict &globals, const std::string &source,
                                  Evaluated &out) {
    auto code = std::make_unique<Compiled>();
    code->source = source;
    code->spec = std::move(spec);
    code->code_name = PyUnicode_InternFromString(code->spec.name.c_str());
    if (!code->code_name) throw_current();
    Stage stage = Stage::Positional;
    auto &params = code->spec.params;
    for (size_t i = 0; i < params.size(); i++) {
        Param &p = params[i];
        PyObject *name = PyUnicode_InternFromString(p.name.c_str());
        if (!name) throw_current();
        code->names.push_back(name);
        py::object def = p.has_default ? default_of(p, globals) : py::object();
        if (p.check == Check::Float) code->has_float = true;
        if (p.check == Check::StrOrNone) code->has_str = true;
        switch (p.kind) {
            case Kind::Positional:
                if (stage != Stage::Positional) throw std::logic_error("positional parameter after *args: " + p.name);
                code->npos++;
                if (def) {
                    out.pos_defaults.push_back(def);
                } else if (!out.pos_defaults.empty()) {
                    throw std::logic_error("non-default parameter follows default parameter: " + p.name);
                }
                break;
            case Kind::VarArgs:
                if (stage != Stage::Positional) throw std::logic_error("misplaced *args: " + p.name);
                code->varargs = static_cast<Py_ssize_t>(i);
                stage = Stage::AfterVarArgs;
                break;
            case Kind::KeywordOnly:
                if (stage == Stage::AfterVarKeywords)
                    throw std::logic_error("keyword-only parameter after **kwargs: " + p.name);
                if (code->kwonly_end == 0) code->kwonly_begin = static_cast<Py_ssize_t>(i);
                code->kwonly_end = static_cast<Py_ssize_t>(i) + 1;
                stage = Stage::AfterVarArgs;
                if (def) out.kwdefaults[py::str(p.name)] = def;
                break;
            case Kind::VarKeywords:
                if (stage == Stage::AfterVarKeywords) throw std::logic_error("second **kwargs: " + p.name);
                code->varkw = static_cast<Py_ssize_t>(i);
                stage = Stage::AfterVarKeywords;
                break;
        }
        if (!p.annotation.empty()) out.annotations[py::str(p.name)] = eval_in(globals, p.annotation);
    }
    if (code->kwonly_end == 0) code->kwonly_begin = code->kwonly_end = 0;
    if (!code->spec.returns.empty()) out.annotations["return"] = eval_in(globals, code->spec.returns);
    return code;
}

}  // namespace

py::object make_function_object(FunctionSpec spec, const std::string &qualname, const std::string &module_name,
                                const py::dict &globals, const std::string &source) {
    Evaluated evaluated;
    std::unique_ptr<Compiled> code = compile(std::move(spec), globals, source, evaluated);
    // Every value made before the object, so that nothing can fail once it exists.
    py::object name = py::str(code->spec.name), qualname_ = py::str(qualname), module = py::str(module_name);
    py::object doc = code->spec.doc ? py::object(py::str(code->spec.doc)) : py::object(py::none());
    py::object defaults;
    if (!evaluated.pos_defaults.empty()) {
        py::tuple t(evaluated.pos_defaults.size());
        for (size_t i = 0; i < evaluated.pos_defaults.size(); i++) t[i] = evaluated.pos_defaults[i];
        defaults = std::move(t);
    }
    auto *f = PyObject_GC_New(FunctionObject, function_type);
    if (!f) throw_current();
    // (PyObject_GC_New took the reference heap-type instances own.)
    f->vectorcall = fn_vectorcall;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->code = code.release();
    f->name = name.release().ptr();
    f->qualname = qualname_.release().ptr();
    f->module = module.release().ptr();
    f->doc = doc.release().ptr();
    f->defaults = defaults ? defaults.release().ptr() : nullptr;
    f->kwdefaults = !evaluated.kwdefaults.empty() ? evaluated.kwdefaults.release().ptr() : nullptr;
    f->annotations = evaluated.annotations.release().ptr();
    f->globals = globals.inc_ref().ptr();
    f->klass = nullptr;
    PyObject_GC_Track(f);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(f));
}

}  // namespace rt::detail
