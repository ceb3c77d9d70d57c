// vexa._counts: the storage and item access of vexa.results.ResultCounter.
//
// A report rolls up nine counter items per section; as Python methods each
// access ran a frame. Here the items are read and written in C with the
// counter's own rules: "total" and "success_rate" are kept apart from the
// counts, and a key not written yet reads 0. The rest of the class (items,
// total, success_rate, equality) stays in Python.
#include <nanobind/nanobind.h>

#include <structmember.h>

namespace {

struct Counts {
    PyObject_HEAD
    PyObject *data;
    PyObject *weight;
    PyObject *derived;  // "_derived": None until "total" or "success_rate" is written
};

PyObject *derived_keys[2];
PyObject *zero, *unit_weight, *get_name, *delitem_name;  // one 1.0 for all, as a literal would be

// key in ("total", "success_rate"), as the tuple's rich comparison decides.
int is_derived(PyObject *key) {
    for (PyObject *name : derived_keys) {
        if (key == name)
            return 1;
    }
    if (PyUnicode_CheckExact(key)) {
        if (PyUnicode_CHECK_INTERNED(key))
            return 0;  // interned, and not one of the two interned names
        Py_hash_t hash = PyObject_Hash(key);
        for (PyObject *name : derived_keys)
            if (PyObject_Hash(name) == hash && PyUnicode_Compare(key, name) == 0)
                return 1;
        return 0;
    }
    for (PyObject *name : derived_keys) {
        int r = PyObject_RichCompareBool(name, key, Py_EQ);
        if (r != 0)
            return r;
    }
    return 0;
}

PyObject *attribute(Counts *self, PyObject *value, const char *name) {
    if (!value)
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%s'",
                     Py_TYPE(self)->tp_name, name);
    return value;
}

// A job makes a counter for every node, and a counter of counts holds
// nothing a reference cycle could pass through, so the cyclic collector is
// spared walking it: it is untracked while it holds only plain values (dicts
// the collector does not track, a float, None), and tracked again as soon as
// it is seen to hold more, as CPython treats its dicts. Whatever is written
// through the counter is seen at once; a container written into `data`
// directly is seen at the counter's next use.
bool untracked_dict(PyObject *table) {
    return PyDict_CheckExact(table) && !PyObject_GC_IsTracked(table);
}

bool holds_plain(Counts *self) {
    PyTypeObject *type = Py_TYPE(self);
    if (type->tp_basicsize != sizeof(Counts) || type->tp_dictoffset ||
        (type->tp_flags & Py_TPFLAGS_MANAGED_DICT))
        return false;  // a subclass's own slots or __dict__ could hold anything
    return (!self->data || untracked_dict(self->data)) &&
           (!self->weight || !PyObject_IS_GC(self->weight)) &&
           (!self->derived || self->derived == Py_None || untracked_dict(self->derived));
}

void settle(Counts *self) {
    PyObject *op = (PyObject *) self;
    bool plain = holds_plain(self), tracked = PyObject_GC_IsTracked(op);
    if (plain && tracked)
        PyObject_GC_UnTrack(op);
    else if (!plain && !tracked)
        PyObject_GC_Track(op);
}

// On every item access, so kept short: an untracked counter held only plain
// values when it was untracked, and attributes set since were settled then;
// what can change unseen is what its tables hold.
void track_if_needed(Counts *self) {
    PyObject *op = (PyObject *) self;
    if (PyObject_GC_IsTracked(op))
        return;
    if ((self->data && PyObject_GC_IsTracked(self->data)) ||
        (self->derived && PyObject_GC_IsTracked(self->derived)))
        PyObject_GC_Track(op);
}

// mapping.get(key, 0)
PyObject *get_or_zero(PyObject *mapping, PyObject *key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject *value = PyDict_GetItemWithError(mapping, key);
        if (value)
            return Py_NewRef(value);
        return PyErr_Occurred() ? nullptr : Py_NewRef(zero);
    }
    return PyObject_CallMethodObjArgs(mapping, get_name, key, zero, nullptr);
}

PyObject *counts_getitem(PyObject *op, PyObject *key) {
    Counts *self = (Counts *) op;
    track_if_needed(self);
    int derived = is_derived(key);
    if (derived < 0)
        return nullptr;
    if (derived) {
        PyObject *table = attribute(self, self->derived, "_derived");
        if (!table)
            return nullptr;
        int present = PyObject_IsTrue(table);
        if (present <= 0)
            return present < 0 ? nullptr : Py_NewRef(zero);
        return get_or_zero(table, key);
    }
    PyObject *data = attribute(self, self->data, "data");
    return data ? get_or_zero(data, key) : nullptr;
}

int counts_setitem(PyObject *op, PyObject *key, PyObject *value) {
    Counts *self = (Counts *) op;
    if (!value) {  // no __delitem__, as before
        PyErr_SetObject(PyExc_AttributeError, delitem_name);
        return -1;
    }
    int derived = is_derived(key);
    if (derived < 0)
        return -1;
    if (derived) {
        if (!attribute(self, self->derived, "_derived"))
            return -1;
        if (self->derived == Py_None) {
            PyObject *table = PyDict_New();
            if (!table)
                return -1;
            Py_SETREF(self->derived, table);
        }
        int done = PyObject_SetItem(self->derived, key, value);
        track_if_needed(self);
        return done;
    }
    PyObject *data = attribute(self, self->data, "data");
    int done = data ? PyObject_SetItem(data, key, value) : -1;
    track_if_needed(self);
    return done;
}

int counts_setattro(PyObject *op, PyObject *name, PyObject *value) {
    int done = PyObject_GenericSetAttr(op, name, value);
    settle((Counts *) op);
    return done;
}

int counts_init(PyObject *op, PyObject *args, PyObject *kwargs) {
    if (PyTuple_GET_SIZE(args) || (kwargs && PyDict_GET_SIZE(kwargs))) {
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments", Py_TYPE(op)->tp_name);
        return -1;
    }
    Counts *self = (Counts *) op;
    PyObject *data = PyDict_New();
    if (!data)
        return -1;
    Py_XSETREF(self->data, data);
    Py_XSETREF(self->weight, Py_NewRef(unit_weight));
    Py_XSETREF(self->derived, Py_NewRef(Py_None));
    settle(self);
    return 0;
}

int counts_traverse(PyObject *op, visitproc visit, void *arg) {
    Counts *self = (Counts *) op;
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->data);
    Py_VISIT(self->weight);
    Py_VISIT(self->derived);
    return 0;
}

int counts_clear(PyObject *op) {
    Counts *self = (Counts *) op;
    Py_CLEAR(self->data);
    Py_CLEAR(self->weight);
    Py_CLEAR(self->derived);
    return 0;
}

void counts_dealloc(PyObject *op) {
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    counts_clear(op);
    type->tp_free(op);
    Py_DECREF(type);
}

PyMemberDef counts_members[] = {
    {"data", T_OBJECT_EX, offsetof(Counts, data), 0, nullptr},
    {"weight", T_OBJECT_EX, offsetof(Counts, weight), 0, nullptr},
    {"_derived", T_OBJECT_EX, offsetof(Counts, derived), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot counts_slots[] = {
    {Py_mp_subscript, (void *) counts_getitem},
    {Py_mp_ass_subscript, (void *) counts_setitem},
    {Py_tp_setattro, (void *) counts_setattro},
    {Py_tp_init, (void *) counts_init},
    {Py_tp_new, (void *) PyType_GenericNew},
    {Py_tp_traverse, (void *) counts_traverse},
    {Py_tp_clear, (void *) counts_clear},
    {Py_tp_dealloc, (void *) counts_dealloc},
    {Py_tp_members, counts_members},
    {Py_tp_doc, (void *) "Counts per result name; the base of ResultCounter."},
    {0, nullptr},
};

PyType_Spec counts_spec = {
    "vexa._counts.Counts", sizeof(Counts), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, counts_slots,
};

}  // namespace

NB_MODULE(_counts, m) {
    derived_keys[0] = PyUnicode_InternFromString("total");
    derived_keys[1] = PyUnicode_InternFromString("success_rate");
    zero = PyLong_FromLong(0);
    unit_weight = PyFloat_FromDouble(1.0);
    get_name = PyUnicode_InternFromString("get");
    delitem_name = PyUnicode_InternFromString("__delitem__");
    if (!derived_keys[0] || !derived_keys[1] || !zero || !unit_weight || !get_name || !delitem_name)
        throw nanobind::python_error();
    PyObject *type = PyType_FromModuleAndSpec(m.ptr(), &counts_spec, nullptr);
    if (!type || PyModule_AddObject(m.ptr(), "Counts", type) < 0) {
        Py_XDECREF(type);
        throw nanobind::python_error();
    }
}
