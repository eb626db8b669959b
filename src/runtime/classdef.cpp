// Class statements: a class built through its metaclass (the most derived of
// its bases', as `class` picks it) with its members in definition order, its
// functions knowing their defining class for super().
#include "internal.hpp"

namespace rt {

ClassDef::ClassDef(Module &m, const char *name, std::vector<py::object> bases, const char *doc)
    : m_(m), name_(name), bases_(std::move(bases)), doc_(doc) {}

py::object ClassDef::func(const char *name, std::vector<Param> params, Body body, const Options &options) {
    py::object f = m_.function(name, name_ + "." + name, std::move(params), std::move(body), options);
    functions_.push_back(f);
    return f;
}

ClassDef &ClassDef::member(const char *name, std::vector<Param> params, Body body, const Options &options,
                           Decorator decorator) {
    py::object f = func(name, std::move(params), std::move(body), options);
    switch (decorator) {
        case Decorator::None:
            break;
        case Decorator::Abstract:
            // Marked before anything wraps it, as @abstractmethod is applied first.
            f.attr("__isabstractmethod__") = true;
            break;
        case Decorator::Static:
            f = builtin("staticmethod")(f);
            break;
        case Decorator::Class:
            f = builtin("classmethod")(f);
            break;
    }
    members_.emplace_back(name, f);
    return *this;
}

ClassDef &ClassDef::property_with(const char *name, Body getter, Body setter, const Options &options) {
    Options getter_options;
    getter_options.doc = options.doc;
    getter_options.returns = options.returns;
    py::object fget = func(name, {arg("self")}, std::move(getter), getter_options);
    py::object fset = py::none();
    if (setter) {
        fset = func(name, {arg("self"), arg("value")}, std::move(setter), Options());
    } else if (options.refusal) {
        std::string message(options.refusal);
        fset = func(
            name, {arg("self"), arg("value")},
            [message](Call &) -> py::object { raise(PyExc_AttributeError, message); }, Options());
    }
    py::object type = options.property_type ? options.property_type : builtin("property");
    members_.emplace_back(name, type(fget, fset));
    return *this;
}

ClassDef &ClassDef::attr(const char *name, py::object value) {
    members_.emplace_back(name, std::move(value));
    return *this;
}

py::object ClassDef::build() {
    py::tuple bases(bases_.size());
    for (size_t i = 0; i < bases_.size(); i++) bases[i] = bases_[i];
    // The most derived metaclass of the bases, as a class statement picks it.
    py::object meta = builtin("type");
    for (auto &b : bases_) {
        py::object t = py::reinterpret_borrow<py::object>(py::type::handle_of(b));
        if (issubclass(meta, t)) continue;
        if (issubclass(t, meta)) {
            meta = t;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of "
                        "the metaclasses of all its bases");
        throw py::error_already_set();
    }
    py::object ns = py::hasattr(meta, "__prepare__") ? meta.attr("__prepare__")(name_, bases) : py::dict();
    ns["__module__"] = py::str(m_.name());
    ns["__qualname__"] = py::str(name_);
    if (doc_) ns["__doc__"] = py::str(doc_);
    for (auto &member : members_) ns[py::str(member.first)] = member.second;
    py::object cls = meta(name_, bases, ns);
    for (auto &f : functions_) {
        auto *fo = reinterpret_cast<FunctionObject *>(f.ptr());
        Py_XSETREF(fo->klass, cls.inc_ref().ptr());
    }
    m_.set(name_.c_str(), cls);
    members_.clear();
    functions_.clear();
    return cls;
}

}  // namespace rt
