// The common base of named entities (projects, experiments) and their
// printed form, "<Project: name='p'>". Imports nothing but pprint.
#include "runtime.hpp"

namespace py = pybind11;
using rt::arg;

namespace {

py::object is_valid_property(rt::Call &c) {
    auto [attribute] = c.args<1>();
    return py::bool_(rt::isinstance(attribute, c.g("property")) &&
                     !rt::isinstance(attribute, c.g("property_and_nodump")));
}

py::object entity_init(rt::Call &c) {
    auto [self, name, description] = c.args<3>();
    self.attr("_NamedEntity__name") = name;
    self.attr("_NamedEntity__description") = description;
    return py::none();
}

py::object entity_name(rt::Call &c) {
    return c.self().attr("_NamedEntity__name");
}
py::object entity_description(rt::Call &c) {
    return c.self().attr("_NamedEntity__description");
}
py::object entity_repr(rt::Call &c) {
    return c.g("NamedEntityPrinter")().attr("to_string")(c.self());
}

// Text made safe inside HTML.
std::string escaped(py::handle value) {
    std::string text = py::str(value).attr("encode")("utf-8", "backslashreplace").cast<std::string>(), out;
    for (char ch : text) {
        switch (ch) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#x27;";
                break;
            default:
                out += ch;
        }
    }
    return out;
}

// A notebook's view of a project or an experiment: its name, description,
// ID and a link to it in the tracking server's UI, where it has them.
py::object entity_html(rt::Call &c) {
    py::handle self = c.self();
    std::string kind = escaped(py::type::handle_of(self).attr("__name__"));
    std::string html = "<div><b>" + kind + "</b> <code>" + escaped(self.attr("name")) + "</code><table>";
    auto row = [&](const char *label, py::handle value) {
        if (!value.is_none()) html += std::string("<tr><th>") + label + "</th><td>" + escaped(value) + "</td></tr>";
    };
    row("description", self.attr("description"));
    row("experiment ID", py::getattr(self, "experiment_id", py::none()));
    html += "</table>";
    py::object url = py::getattr(self, "url", py::none());
    if (!url.is_none()) html += R"(<a href=")" + escaped(url) + R"(" target="_blank">open in the tracking UI</a>)";
    return py::str(html + "</div>");
}

// One (name, value) pair a step; state: [self, iterator over the property
// names once started].
py::object next_property(py::list &state) {
    py::object self = state[0];
    if (state[1].is_none()) state[1] = py::iter(self.attr("_properties")());
    py::object key = rt::next_or_end(state[1]);
    if (!key) return key;
    return py::make_tuple(key, self.attr("__getattribute__")(key));
}

// Lazy like a generator: nothing is read before the first item is asked for.
py::object entity_iter(rt::Call &c) {
    py::list state;
    state.append(c.self());
    state.append(py::none());
    return rt::make_iterator(state, next_property);
}

// The class's own attributes, then those of its first direct base only, each
// judged by what the class itself sees under that name; sorted.
py::object entity_properties(rt::Call &c) {
    auto [cls] = c.args<1>();
    py::object is_valid = c.g("is_valid_property");
    py::list names;
    for (py::handle owner : {py::handle(cls), py::handle(cls.attr("__base__"))}) {
        for (py::handle key : owner.attr("__dict__").attr("keys")()) {
            if (rt::truthy(is_valid(py::getattr(cls, key)))) names.append(key);
        }
    }
    names.attr("sort")();
    return std::move(names);
}

py::object printer_init(rt::Call &c) {
    c.self().attr("printer") = c.g("pprint").attr("PrettyPrinter")();
    return py::none();
}

py::object to_string(rt::Call &c) {
    auto [self, obj] = c.args<2>();
    if (!rt::isinstance(obj, c.g("NamedEntity"))) return self.attr("printer").attr("pformat")(obj);
    return rt::text({"<", obj.attr("__class__").attr("__name__"), ": ", self.attr("_entity_to_string")(obj), ">"});
}

py::object entity_to_string(rt::Call &c) {
    auto [self, entity] = c.args<2>();
    py::list parts;
    for (py::handle item : py::iter(entity)) {
        auto [key, value] = rt::unpack2(item);
        parts.append(rt::text({key, "=", self.attr("to_string")(value)}));
    }
    return py::str(", ").attr("join")(parts);
}

}  // namespace

RT_MODULE(quorril, m) {
    rt::Module mod(m);
    mod.import("pprint");

    py::object nodump = rt::ClassDef(mod, "property_and_nodump", {rt::builtin("property")}, R"(
    A marker class extending capabilities of the 'property' decorator class to skip printing specific attributes.
    )")
                            .build();

    mod.def("is_valid_property", {arg("attribute")}, is_valid_property);

    rt::ClassDef(mod, "NamedEntity")
        .method("__init__", {arg("self"), arg("name"), arg("description")}, entity_init)
        .property("name", entity_name)
        .property("description", entity_description, rt::property_type(nodump))
        .method("__repr__", {arg("self")}, entity_repr)
        .method("_repr_html_", {arg("self")}, entity_html, rt::doc("The entity as a notebook shows it."),
                rt::returns("str"))
        .method("__iter__", {arg("self")}, entity_iter)
        .classmethod("_properties", {arg("cls")}, entity_properties)
        .build();

    rt::ClassDef(mod, "NamedEntityPrinter", {}, R"(
    Provides functionalities to print attributes of a given class in a pretty-print format.
    )")
        .method("__init__", {arg("self")}, printer_init)
        .method("to_string", {arg("self"), arg("obj")}, to_string)
        .method("_entity_to_string", {arg("self"), arg("entity")}, entity_to_string)
        .build();
}
