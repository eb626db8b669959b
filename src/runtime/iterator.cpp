// The lazy iterator: native code producing items one at a time, behaving like
// a generator (collected with what it holds, refuses re-entry, finished after
// its end or a failure).
#include "internal.hpp"

namespace rt {

namespace {

// Like a generator: `next` runs with the iterator's state (a list, which the
// collector sees, so an iterator stored on the object it walks is collected),
// refuses to be re-entered, and after its end or a failure yields nothing more.
struct IteratorObject {
    PyObject_HEAD std::function<py::object(py::list &)> *next;
    PyObject *state;  // list
    bool running;
};

int it_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<IteratorObject *>(self)->state);
    return 0;
}

int it_clear(PyObject *self) noexcept {
    Py_CLEAR(reinterpret_cast<IteratorObject *>(self)->state);
    return 0;
}

void it_finish(IteratorObject *it) noexcept {
    delete it->next;
    it->next = nullptr;
    Py_CLEAR(it->state);
}

void it_dealloc(PyObject *self) noexcept {
    auto *it = reinterpret_cast<IteratorObject *>(self);
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    it_finish(it);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *it_iter(PyObject *self) noexcept {
    Py_INCREF(self);
    return self;
}

PyObject *it_next(PyObject *self) noexcept {
    auto *it = reinterpret_cast<IteratorObject *>(self);
    if (it->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (!it->next || !it->state) return nullptr;
    if (!detail::enter_native_call()) return nullptr;
    it->running = true;
    PyObject *result = nullptr;
    try {
        // Held for the call: the function must outlive anything it triggers.
        py::list state = py::reinterpret_borrow<py::list>(it->state);
        py::object item = (*it->next)(state);
        if (item) result = item.release().ptr();
    } catch (...) {
        detail::set_error_from_exception(reinterpret_cast<PyObject *>(Py_TYPE(self)));
    }
    it->running = false;
    detail::leave_native_call();
    // Exhausted or failed: like a generator, it yields nothing more.
    if (!result) it_finish(it);
    return result;
}

PyType_Slot it_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(it_dealloc)}, {Py_tp_traverse, reinterpret_cast<void *>(it_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(it_clear)},     {Py_tp_iter, reinterpret_cast<void *>(it_iter)},
    {Py_tp_iternext, reinterpret_cast<void *>(it_next)},   {0, nullptr},
};

}  // namespace

namespace detail {

PyType_Spec iterator_spec = {
    "builtins.generator",
    sizeof(IteratorObject),
    0,
    // NOLINTNEXTLINE(misc-redundant-expression): CPython's Py_TPFLAGS_DEFAULT expands to `0 | ...`
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    it_slots,
};

}  // namespace detail

py::object make_iterator(py::list state, std::function<py::object(py::list &)> next) {
    auto *it = PyObject_GC_New(IteratorObject, detail::iterator_type);
    if (!it) throw py::error_already_set();  // (holding its type reference already)
    it->next = nullptr;
    it->state = state.release().ptr();
    it->running = false;
    try {
        it->next = new std::function<py::object(py::list &)>(std::move(next));
    } catch (...) {
        Py_DECREF(reinterpret_cast<PyObject *>(it));
        throw;
    }
    PyObject_GC_Track(it);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(it));
}

}  // namespace rt
