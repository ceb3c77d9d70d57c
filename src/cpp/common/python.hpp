// The Python helpers every module uses: error checks, attribute and item
// access, interned names, iteration.
//
// A failed C-API call leaves a Python error pending; check() turns it into
// nb::python_error at once, so C++ code reads like the Python it mirrors and
// the interpreter's own exception reaches the caller.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

namespace vexa {

namespace nb = nanobind;

// Raise the pending Python error as a C++ exception when `ok` is false.
inline void check(bool ok) {
    if (!ok)
        throw nb::python_error();
}

inline nb::object steal_checked(PyObject *o) {
    check(o != nullptr);
    return nb::steal(o);
}

// A str interned for the life of the process (see names.hpp).
inline PyObject *interned(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    check(s != nullptr);
    return s;
}

// A tuple of interned keyword names, for the keyword calls of call():
// "id name" gives ("id", "name").
inline PyObject *kwnames(const char *keywords) {
    nb::object text = steal_checked(PyUnicode_FromString(keywords));
    nb::object words = steal_checked(PyUnicode_Split(text.ptr(), nullptr, -1));
    Py_ssize_t n = PyList_GET_SIZE(words.ptr());
    PyObject *t = PyTuple_New(n);
    check(t != nullptr);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *word = Py_NewRef(PyList_GET_ITEM(words.ptr(), i));
        PyUnicode_InternInPlace(&word);
        PyTuple_SET_ITEM(t, i, word);
    }
    return t;
}

inline nb::handle type_of(nb::handle obj) { return (PyObject *) Py_TYPE(obj.ptr()); }

inline bool is_none(nb::handle h) { return h.ptr() == Py_None; }

// Attribute read that treats only AttributeError as "missing": any other
// error raised by a property passes through, as in Python's getattr(o, n, None).
inline nb::object get_optional_attr(nb::handle obj, PyObject *name) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *result = nullptr;
    check(PyObject_GetOptionalAttr(obj.ptr(), name, &result) >= 0);
    return nb::steal(result);  // null handle when missing
#else
    PyObject *result = PyObject_GetAttr(obj.ptr(), name);
    if (!result) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
    }
    return nb::steal(result);
#endif
}

// getattr(obj, name, None)
inline nb::object get_attr_or_none(nb::handle obj, PyObject *name) {
    nb::object value = get_optional_attr(obj, name);
    return value.is_valid() ? value : nb::none();
}

inline nb::object get_attr(nb::handle obj, PyObject *name) {
    return steal_checked(PyObject_GetAttr(obj.ptr(), name));
}

inline nb::object get_attr(nb::handle obj, const char *name) {
    return steal_checked(PyObject_GetAttrString(obj.ptr(), name));
}

inline void set_attr(nb::handle obj, PyObject *name, nb::handle value) {
    check(PyObject_SetAttr(obj.ptr(), name, value.ptr()) == 0);
}

// The answer of a C-API predicate: 1 true, 0 false, -1 an error, raised.
inline bool answer(int r) {
    check(r >= 0);
    return r == 1;
}

inline bool truthy(nb::handle obj) { return answer(PyObject_IsTrue(obj.ptr())); }

inline bool is_instance(nb::handle obj, nb::handle cls) {
    return answer(PyObject_IsInstance(obj.ptr(), cls.ptr()));
}

inline bool equal(nb::handle a, nb::handle b) {
    return answer(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ));
}

inline bool contains(nb::handle container, nb::handle item) {
    return answer(PySequence_Contains(container.ptr(), item.ptr()));
}

inline nb::object get_item(nb::handle obj, nb::handle key) {
    return steal_checked(PyObject_GetItem(obj.ptr(), key.ptr()));
}

inline void set_item(nb::handle obj, nb::handle key, nb::handle value) {
    check(PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()) == 0);
}

inline nb::object to_str(nb::handle v) { return steal_checked(PyObject_Str(v.ptr())); }

inline nb::object to_repr(nb::handle v) { return steal_checked(PyObject_Repr(v.ptr())); }

// A new reference to what a weak reference points to, or null once gone.
inline PyObject *weakref_target(PyObject *ref) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *target = nullptr;
    check(PyWeakref_GetRef(ref, &target) >= 0);
    return target;
#else
    PyObject *target = PyWeakref_GetObject(ref);
    return target == Py_None ? nullptr : Py_NewRef(target);
#endif
}

// The dict of a class, where its attributes live.
inline nb::object class_dict(nb::handle cls) {
#if PY_VERSION_HEX >= 0x030C0000
    return steal_checked(PyType_GetDict((PyTypeObject *) cls.ptr()));
#else
    return nb::borrow(((PyTypeObject *) cls.ptr())->tp_dict);
#endif
}

// Calls f(item) for each item of any iterable. Each item is held while f
// runs, so code f calls back into may change the iterable.
template <typename F>
void for_each(nb::handle iterable, F &&f) {
    nb::object it = steal_checked(PyObject_GetIter(iterable.ptr()));
    while (PyObject *item = PyIter_Next(it.ptr()))
        f(nb::steal(item));
    check(!PyErr_Occurred());
}

// Unpacks a (key, value) pair as `for k, v in ...` does, with its errors.
inline std::pair<nb::object, nb::object> unpack_pair(nb::handle item) {
    PyObject *o = item.ptr();
    if (PyTuple_CheckExact(o) && PyTuple_GET_SIZE(o) == 2)
        return {nb::borrow(PyTuple_GET_ITEM(o, 0)), nb::borrow(PyTuple_GET_ITEM(o, 1))};
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o) && !PyIter_Check(o) &&
        !Py_TYPE(o)->tp_iter && !PySequence_Check(o)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                     Py_TYPE(o)->tp_name);
        throw nb::python_error();
    }
    nb::object seq = steal_checked(PySequence_Fast(o, "cannot unpack non-iterable object"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    if (n != 2) {
        if (n < 2)
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        else
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw nb::python_error();
    }
    return {nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), 0)),
            nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), 1))};
}

}  // namespace vexa
