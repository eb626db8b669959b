// A test-only module that uses every feature of the shared runtime, so that
// tests/test_runtime.py can hold each native object against a plain Python
// twin of the same signature.  Never installed: only development builds make
// it, beside this file.
#include <stdexcept>

#include "runtime.hpp"

namespace py = pybind11;
using rt::arg;

namespace {

// The bound arguments of a call as a dict, in parameter order: the tests read
// binding results back from it.
py::object bound(rt::Call &c, std::initializer_list<const char *> names) {
    py::dict d;
    size_t i = 0;
    for (const char *n : names) d[n] = c[i++];
    return std::move(d);
}

// The same members on the module given (the probe itself, or a fresh module
// object made at call time to check that everything it builds is collectable).
void define_classes(rt::Module &mod) {
    rt::ClassDef(mod, "Base", {mod.get("ABC")}, "An abstract base with every kind of member.")
        .attr("KIND", py::str("base"))
        .method(
            "__init__", {arg("self"), arg("name").checked_str(), arg("client").def_none().ann("Optional[Any]")},
            [](rt::Call &c) -> py::object {
                c.self().attr("_Base__name") = c[1];
                c.self().attr("client") = c[2];
                return py::none();
            },
            rt::returns("None"))
        .property(
            "name", [](rt::Call &c) -> py::object { return c.self().attr("_Base__name"); },
            rt::doc("The name given at construction."), rt::returns("str"))
        .property(
            "user", [](rt::Call &c) -> py::object { return py::str("user-") + py::str(c.self().attr("_Base__name")); },
            rt::doc("Derived from the name; never assigned."), rt::returns("str"),
            rt::refuse_assignment("Assigning user not allowed!"))
        .abstractmethod(
            "kind", {arg("self")}, [](rt::Call &c) -> py::object { rt::raise(c.g("NotImplementedError"), "kind"); },
            rt::doc("What this object is."), rt::returns("str"))
        .method(
            "describe", {arg("self"), arg("prefix").def(py::str(""))},
            [](rt::Call &c) -> py::object {
                // Through attribute lookup, so subclasses' kind() is used.
                return py::str(c[1]) + py::str(c.self().attr("kind")());
            },
            rt::doc("Prefix and kind."), rt::returns("str"))
        .classmethod(
            "create", {arg("cls"), arg("name").checked_str()}, [](rt::Call &c) -> py::object { return c[0](c[1]); },
            rt::doc("Make one by name."))
        .staticmethod(
            "normalize", {arg("value")},
            [](rt::Call &c) -> py::object { return py::str(c[0]).attr("strip")().attr("lower")(); },
            rt::doc("Lower-cased and stripped text."), rt::returns("str"))
        .build();

    rt::ClassDef(mod, "Child", {mod.get("Base")}, nullptr)
        .method("kind", {arg("self")}, [](rt::Call &) -> py::object { return py::str("child"); })
        .method("describe", {arg("self"), arg("prefix").def(py::str(""))},
                [](rt::Call &c) -> py::object { return py::str("child:") + py::str(c.super().attr("describe")(c[1])); })
        .build();
}

}  // namespace

RT_MODULE(runtime_probe, m) {
    rt::Module mod(m);
    mod.import("os");
    mod.import("os.path", "osp");
    mod.from("abc", {"ABC"});
    mod.from("typing", {"Optional", "Dict", "Any", "Tuple"});
    mod.set("DEFAULT_LABEL", py::str("label-default"));

    mod.def(
        "echo",
        {arg("a").ann("int"), arg("b").ann("Optional[str]"), arg("c").def(py::int_(3)), rt::varargs("args"),
         rt::kwonly("d"), rt::kwonly("e").def(py::int_(5)).ann("Tuple[int, ...]"), rt::varkw("kwargs").ann("Any")},
        [](rt::Call &c) -> py::object { return bound(c, {"a", "b", "c", "args", "d", "e", "kwargs"}); },
        rt::doc("Echo the bound arguments.\n\n    Returns a dict of parameter name to value.\n    "),
        rt::returns("Dict[str, Any]"));

    mod.def("positional", {arg("a"), arg("b").def(py::int_(2))},
            [](rt::Call &c) -> py::object { return bound(c, {"a", "b"}); });

    mod.def("single", {arg("x")}, [](rt::Call &c) -> py::object { return bound(c, {"x"}); }, rt::doc(""));

    mod.def("nothing", {}, [](rt::Call &) -> py::object { return py::object(); });

    mod.def("keywords_only", {rt::kwonly("k"), rt::kwonly("m").def(py::int_(1))},
            [](rt::Call &c) -> py::object { return bound(c, {"k", "m"}); });

    mod.def("many",
            {arg("a"), arg("b"), arg("c"), arg("d").def(py::int_(4)), rt::kwonly("e"), rt::kwonly("f"),
             rt::kwonly("g").def(py::int_(7))},
            [](rt::Call &c) -> py::object { return bound(c, {"a", "b", "c", "d", "e", "f", "g"}); });

    mod.def("star", {rt::varargs("args"), rt::kwonly("sep").def(py::str(" "))},
            [](rt::Call &c) -> py::object { return bound(c, {"args", "sep"}); });

    mod.def(
        "checked",
        {arg("name").checked_str(), arg("amount").checked_float(), arg("label").checked_str().def(py::str("fixed")),
         arg("other").checked_str().def_expr("DEFAULT_LABEL"), arg("scale").checked_float().def(py::int_(2)),
         arg("note").ann("Optional[str]").checked_str().def_none()},
        [](rt::Call &c) -> py::object { return bound(c, {"name", "amount", "label", "other", "scale", "note"}); },
        rt::doc("Checked and converted parameters."));

    // Changed by the tests through __defaults__ and __kwdefaults__.
    mod.def("tunable", {arg("a"), arg("b").def(py::int_(1)), rt::kwonly("k").def(py::int_(2))},
            [](rt::Call &c) -> py::object { return bound(c, {"a", "b", "k"}); });

    mod.def("helper", {arg("x")}, [](rt::Call &c) -> py::object { return py::str("helper:") + py::str(c[0]); });

    mod.def(
        "call_global", {arg("x")}, [](rt::Call &c) -> py::object { return c.g("helper")(c[0]); },
        rt::doc("Calls the module's helper as it is bound now."));

    mod.def("basename", {arg("path")}, [](rt::Call &c) -> py::object { return c.g("osp").attr("basename")(c[0]); });

    mod.def("call", {arg("func"), rt::varargs("args"), rt::varkw("kwargs")}, [](rt::Call &c) -> py::object {
        PyObject *r = PyObject_Call(c[0].ptr(), c[1].ptr(), c[2].ptr());
        if (!r) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(r);
    });

    // Like `try: func() except ValueError as e: raise RuntimeError("wrapped: " + str(e))`.
    mod.def("rewrap", {arg("func")}, [](rt::Call &c) -> py::object {
        try {
            return c[0]();
        } catch (py::error_already_set &e) {
            if (!e.matches(c.g("ValueError"))) throw;
            rt::raise_while_handling(e, c.g("RuntimeError"), py::str("wrapped: ") + py::str(e.value()));
        }
    });

    mod.def("raise_with", {arg("exc_type"), rt::varargs("args"), rt::varkw("kwargs")},
            [](rt::Call &c) -> py::object { rt::raise_instance(c[0](*c[1], **c[2])); });

    mod.def("fail", {arg("message")}, [](rt::Call &c) -> py::object { rt::raise(c.g("ValueError"), rt::str(c[0])); });

    // C++ exceptions must leave a call as Python exceptions.
    mod.def("throw_cpp", {arg("kind").checked_str()}, [](rt::Call &c) -> py::object {
        std::string kind = rt::str(c[0]);
        if (kind == "value") throw py::value_error("bad value");
        if (kind == "key") throw py::key_error("missing");
        if (kind == "cast") return py::int_(py::cast<int>(py::str("not a number")));
        if (kind == "other") throw 42;  // NOLINT(bugprone-std-exception-baseclass): a foreign exception, on purpose
        throw std::runtime_error("plain C++ failure");
    });

    mod.def("truth", {arg("value")}, [](rt::Call &c) -> py::object { return py::bool_(rt::truthy(c[0])); });

    mod.def(
        "countdown", {arg("n")},
        [](rt::Call &c) -> py::object {
            py::list state;
            state.append(py::int_(c[0].cast<long>()));
            return rt::make_iterator(state, [](py::list &st) -> py::object {
                long n = st[0].cast<long>();
                if (n <= 0) return py::object();
                st[0] = py::int_(n - 1);
                return py::int_(n - 1);
            });
        },
        rt::doc("Yields n-1 down to 0."));

    // Yields the items of `items`, calling `check(item)` before each one.
    mod.def("checked_items", {arg("items"), arg("check")}, [](rt::Call &c) -> py::object {
        py::list state;
        state.append(py::iter(c[0]));
        state.append(c[1]);
        return rt::make_iterator(state, [](py::list &st) -> py::object {
            py::object it = st[0], check = st[1];
            py::object value = rt::next_or_end(it);
            if (value) check(value);
            return value;
        });
    });

    // A fresh module object with a function and classes in it: nothing keeps
    // it alive but the caller, so the tests can see that it is collected.
    mod.def("make_module", {arg("name").checked_str()}, [](rt::Call &c) -> py::object {
        py::object module = c.g("type")(c.g("os"))(c[0]);
        rt::Module dyn(module);
        dyn.from("abc", {"ABC"});
        dyn.from("typing", {"Optional", "Any"});
        dyn.def("f", {arg("x").def_none()},
                [](rt::Call &c2) -> py::object { return py::reinterpret_borrow<py::object>(c2[0]); });
        define_classes(dyn);
        return module;
    });

    // A checked parameter whose default is given: a default that fails the
    // check must stop the definition, as it stops a module's import.
    mod.def("make_checked", {arg("default")}, [](rt::Call &c) -> py::object {
        rt::Module dyn(c.g("type")(c.g("os"))(py::str("checked_defaults")));
        return dyn.def("g", {arg("s").checked_str().def(py::reinterpret_borrow<py::object>(c[0]))},
                       [](rt::Call &c2) -> py::object { return py::reinterpret_borrow<py::object>(c2[0]); });
    });

    // `from <module> import <name>` into a fresh namespace; returns what it bound.
    mod.def("from_import", {arg("module").checked_str(), arg("name").checked_str()}, [](rt::Call &c) -> py::object {
        rt::Module dyn(c.g("type")(c.g("os"))(py::str("importer")));
        std::string module = rt::str(c[0]), name = rt::str(c[1]);
        dyn.from(module.c_str(), {name.c_str()});
        return dyn.get(name.c_str());
    });

    // Calls itself through the module namespace until `n` reaches 0.
    mod.def("recurse", {arg("n")}, [](rt::Call &c) -> py::object {
        long n = c[0].cast<long>();
        if (n <= 0) return py::int_(0);
        return c.g("recurse")(n - 1);
    });

    define_classes(mod);
}
