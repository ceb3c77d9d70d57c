// Calling Python: functions and methods with positional and keyword
// arguments, `from m import n`, and the `with` statement.
#pragma once

#include "python.hpp"

#include <cstdint>
#include <initializer_list>

namespace vexa {

// fn(*positional, **dict(zip(kw, keyword values))): the last len(kw) entries
// of `args` (at most eight in all) are the keyword values.
inline nb::object call(nb::handle fn, std::initializer_list<nb::handle> args,
                       PyObject *kw = nullptr) {
    PyObject *argv[8];
    size_t n = 0;
    for (nb::handle a : args)
        argv[n++] = a.ptr();
    size_t nkw = kw ? (size_t) PyTuple_GET_SIZE(kw) : 0;
    return steal_checked(PyObject_Vectorcall(fn.ptr(), argv, n - nkw, kw));
}

inline nb::object call(nb::handle fn) { return steal_checked(PyObject_CallNoArgs(fn.ptr())); }

inline nb::object call(nb::handle fn, nb::handle arg) {
    return steal_checked(PyObject_CallOneArg(fn.ptr(), arg.ptr()));
}

// fn(*args, **kwargs) with a tuple and a dict.
inline nb::object call_with(nb::handle fn, nb::handle args, nb::handle kwargs) {
    return steal_checked(PyObject_Call(fn.ptr(), args.ptr(), kwargs.ptr()));
}

// obj.name(*positional, **keywords), as call().
inline nb::object call_method(nb::handle obj, PyObject *name,
                              std::initializer_list<nb::handle> args, PyObject *kw = nullptr) {
    PyObject *argv[8];
    size_t n = 0;
    argv[n++] = obj.ptr();
    for (nb::handle a : args)
        argv[n++] = a.ptr();
    size_t nkw = kw ? (size_t) PyTuple_GET_SIZE(kw) : 0;
    return steal_checked(PyObject_VectorcallMethod(name, argv, n - nkw, kw));
}

inline nb::object call_method(nb::handle obj, PyObject *name) {
    return steal_checked(PyObject_CallMethodNoArgs(obj.ptr(), name));
}

inline nb::object call_method(nb::handle obj, PyObject *name, nb::handle arg) {
    return steal_checked(PyObject_CallMethodOneArg(obj.ptr(), name, arg.ptr()));
}

// `from <module> import <name>`, with the interpreter's ImportError for a
// missing name. A fromlist makes the import system load `name` when it is a
// submodule.
inline nb::object import_from(nb::handle module, const char *name) {
    nb::object fromlist = nb::make_tuple(nb::str(name));
    nb::object mod = steal_checked(
        PyImport_ImportModuleLevelObject(module.ptr(), nullptr, nullptr, fromlist.ptr(), 0));
    nb::object value = get_optional_attr(mod, nb::str(name).ptr());
    if (value.is_valid())
        return value;
    nb::object mod_name = get_attr_or_none(mod, nb::str("__name__").ptr());
    nb::object path = get_attr_or_none(mod, nb::str("__file__").ptr());
    nb::object where = path.is_none() ? nb::str("unknown location") : path;
    nb::object msg = steal_checked(PyUnicode_FromFormat(
        "cannot import name '%s' from '%S' (%S)", name, mod_name.ptr(), where.ptr()));
    PyErr_SetImportError(msg.ptr(), mod_name.ptr(), path.ptr());
    throw nb::python_error();
}

inline nb::object import_from(const char *module, const char *name) {
    return import_from(nb::str(module), name);
}

// What Python does to an error raised while `handled` is being handled: the
// end of its context chain gets `handled` as context.
inline void chain_context(nb::handle raised, nb::handle handled) {
    nb::object cur = nb::borrow(raised);
    for (int i = 0; i < 1000; ++i) {
        if (cur.is(handled))
            return;
        nb::object next = nb::steal(PyException_GetContext(cur.ptr()));
        if (!next.is_valid()) {
            PyException_SetContext(cur.ptr(), Py_NewRef(handled.ptr()));
            return;
        }
        cur = next;
    }
}

// type(obj).<name>, as the with statement looks up __enter__ and __exit__.
inline nb::object special_method(nb::handle obj, const char *name) {
    nb::object fn = get_optional_attr(type_of(obj), nb::str(name).ptr());
    if (!fn.is_valid()) {
        PyErr_Format(PyExc_TypeError,
                     "'%s' object does not support the context manager protocol",
                     Py_TYPE(obj.ptr())->tp_name);
        throw nb::python_error();
    }
    return fn;
}

// `with manager as value: body(value)`. __exit__ sees the error, and an
// error of __exit__ itself carries the first one as its context. False when
// __exit__ swallowed an error of the body.
template <typename Body>
bool with_context(nb::handle manager, Body &&body) {
    nb::object exit = special_method(manager, "__exit__");
    nb::object entered = call(special_method(manager, "__enter__"), manager);
    try {
        body(nb::handle(entered));
    } catch (nb::python_error &e) {
        nb::object tb = e.traceback();
        nb::object suppress;
        try {
            suppress = call(exit, {manager, e.type(), e.value(), tb.is_valid() ? nb::handle(tb) : nb::none()});
        } catch (nb::python_error &raised) {
            chain_context(raised.value(), e.value());
            throw;
        }
        if (!truthy(suppress))
            throw;
        return false;
    }
    call(exit, {manager, nb::none(), nb::none(), nb::none()});
    return true;
}

}  // namespace vexa
