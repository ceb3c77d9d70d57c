// Functions as Python code would define them, around nanobind functions,
// and what a module lets go of when its namespace is cleared at exit.
#pragma once

#include "python.hpp"

#include <cstddef>
#include <utility>
#include <vector>

namespace vexa {

// A function as Python code would define it, around a nanobind function:
// __doc__ is the docstring alone (None when there is none), where nanobind
// puts a signature line in front; bound to an instance or, through
// classmethod, to a class, it gives Python's own bound method, which
// compares and hashes by function and object on every version (nanobind's
// own bound method type compares by identity).
struct Function {
    PyObject_HEAD
    PyObject *func;  // the nanobind function; null once its module is gone
    PyObject *name, *qualname, *module, *doc;
    vectorcallfunc vectorcall;

    static PyObject *call(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
        PyObject *func = reinterpret_cast<Function *>(self)->func;
        if (!func) {
            PyErr_SetString(PyExc_RuntimeError, "the module has been unloaded");
            return nullptr;
        }
        return PyObject_Vectorcall(func, args, nargsf, kwnames);
    }

    static PyObject *get(PyObject *self, PyObject *obj, PyObject *) {
        if (!obj || obj == Py_None)
            return Py_NewRef(self);
        return PyMethod_New(self, obj);
    }

    static PyObject *repr(PyObject *self) {
        return PyUnicode_FromFormat("<function %S at %p>", reinterpret_cast<Function *>(self)->qualname, self);
    }

    static int traverse(PyObject *self, visitproc visit, void *arg) {
        auto *f = reinterpret_cast<Function *>(self);
        Py_VISIT(Py_TYPE(self));
        Py_VISIT(f->func);
        Py_VISIT(f->doc);
        return 0;
    }

    static int clear(PyObject *self) {
        auto *f = reinterpret_cast<Function *>(self);
        Py_CLEAR(f->func);
        Py_CLEAR(f->doc);
        return 0;
    }

    static void dealloc(PyObject *self) {
        auto *f = reinterpret_cast<Function *>(self);
        PyTypeObject *type = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        clear(self);
        Py_CLEAR(f->name);
        Py_CLEAR(f->qualname);
        Py_CLEAR(f->module);
        type->tp_free(self);
        Py_DECREF(type);
    }

    template <PyObject *Function::*Field>
    static PyObject *read(PyObject *self, void *) {
        return Py_NewRef(reinterpret_cast<Function *>(self)->*Field);
    }

    static int write_doc(PyObject *self, PyObject *value, void *) {
        Py_XSETREF(reinterpret_cast<Function *>(self)->doc, Py_NewRef(value ? value : Py_None));
        return 0;
    }

    // One type per extension module, made on first use.
    static PyTypeObject *type() {
        static PyTypeObject *t = [] {
            static PyGetSetDef fields[] = {
                {"__name__", &read<&Function::name>, nullptr, nullptr, nullptr},
                {"__qualname__", &read<&Function::qualname>, nullptr, nullptr, nullptr},
                {"__module__", &read<&Function::module>, nullptr, nullptr, nullptr},
                {"__doc__", &read<&Function::doc>, &write_doc, nullptr, nullptr},
                {nullptr, nullptr, nullptr, nullptr, nullptr}};
            static PyType_Slot slots[] = {
                {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
                {Py_tp_descr_get, reinterpret_cast<void *>(&get)},
                {Py_tp_repr, reinterpret_cast<void *>(&repr)},
                {Py_tp_traverse, reinterpret_cast<void *>(&traverse)},
                {Py_tp_clear, reinterpret_cast<void *>(&clear)},
                {Py_tp_dealloc, reinterpret_cast<void *>(&dealloc)},
                {Py_tp_getset, fields},
                {0, nullptr}};
            static PyType_Spec shape = {
                "vexa.reporter.function", sizeof(Function), 0,
                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
                    Py_TPFLAGS_IMMUTABLETYPE,
                slots};
            PyObject *made = PyType_FromSpec(&shape);
            check(made != nullptr);
            auto *type = reinterpret_cast<PyTypeObject *>(made);  // kept for the process
            // Set here: before 3.12 only a member definition could give it.
            type->tp_vectorcall_offset = offsetof(Function, vectorcall);
            type->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
            return type;
        }();
        return t;
    }

    static bool check_exact(PyObject *o) { return Py_IS_TYPE(o, type()); }

    // Lets go of the nanobind function; calls raise RuntimeError after.
    static void release(PyObject *o) {
        if (check_exact(o))
            Py_CLEAR(reinterpret_cast<Function *>(o)->func);
    }
};

namespace detail {
inline nb::object make_function(PyObject *func, vectorcallfunc call, const char *name,
                                nb::handle qualname, nb::handle module_name, const char *doc) {
    Function *f = PyObject_GC_New(Function, Function::type());
    if (!f) {
        Py_XDECREF(func);
        throw nb::python_error();
    }
    f->func = func;
    f->name = nullptr;
    f->qualname = Py_NewRef(qualname.ptr());
    f->module = Py_NewRef(module_name.ptr());
    f->doc = doc ? PyUnicode_FromString(doc) : Py_NewRef(Py_None);
    f->vectorcall = call;
    nb::object result = nb::steal(reinterpret_cast<PyObject *>(f));
    check(f->doc != nullptr);
    f->name = PyUnicode_FromString(name);
    check(f->name != nullptr);
    PyObject_GC_Track(f);
    return result;
}
}  // namespace detail

// Wraps `func` as a Function named `name` (qualified `qualname`) of `module`.
inline nb::object function(nb::object func, const char *name, nb::handle qualname,
                           nb::handle module_name, const char *doc = nullptr) {
    return detail::make_function(func.release().ptr(), &Function::call, name, qualname,
                                 module_name, doc);
}

// A Function whose body takes CPython's fast calling convention itself, with
// no nanobind function between: for the few methods called for every report
// node. It binds, compares and reads as the others do; it holds nothing to
// let go at exit.
inline nb::object fast_function(vectorcallfunc body, const char *name, nb::handle qualname,
                                nb::handle module_name) {
    return detail::make_function(nullptr, body, name, qualname, module_name, nullptr);
}

// What a module lets go of at interpreter exit, in one place: the functions
// it made and its state, released when its namespace is cleared, after
// every atexit handler has run. A report object can outlive its module there
// in garbage the collector never frees: a datetime is not tracked by it, so
// one whose tzinfo is of a class defined in a script closes a cycle (the
// script's namespace, the datetime, the tzinfo, its class, its methods, the
// namespace) that stays to the end, and with it the classes of every report
// object the script holds. Without this their nanobind functions would
// outlive the interpreter.
class Teardown {
public:
    static void add(nb::handle module, nb::handle function) {
        held(module).functions.push_back(Py_NewRef(function.ptr()));
    }

    // The module's state, let go of by its release(), which must not raise.
    template <typename S>
    static void on_exit(nb::handle module, S *state) {
        held(module).states.push_back({state, [](void *s) { static_cast<S *>(s)->release(); }});
    }

private:
    struct Release {
        void *state;
        void (*release)(void *state);
    };
    struct Held {
        std::vector<PyObject *> functions;  // owned
        std::vector<Release> states;
    };

    static PyObject *key() {
        static PyObject *k = interned("__vexa_teardown__");
        return k;
    }

    static Held &held(nb::handle module) {
        nb::object capsule = get_optional_attr(module, key());
        if (!capsule.is_valid()) {
            capsule = steal_checked(PyCapsule_New(new Held(), "vexa.teardown", &release));
            set_attr(module, key(), capsule);
        }
        auto *h = static_cast<Held *>(PyCapsule_GetPointer(capsule.ptr(), "vexa.teardown"));
        check(h != nullptr);
        return *h;
    }

    static void release(PyObject *capsule) {
        auto *h = static_cast<Held *>(PyCapsule_GetPointer(capsule, "vexa.teardown"));
        if (!h) {
            PyErr_Clear();
            return;
        }
        // Only at exit: a module dropped while the program runs leaves its
        // state and the functions in its classes working.
#if PY_VERSION_HEX >= 0x030D0000
        bool exiting = Py_IsFinalizing();
#else
        bool exiting = _Py_IsFinalizing();
#endif
        if (exiting)
            for (const Release &r : h->states)
                r.release(r.state);
        for (PyObject *f : h->functions) {
            if (exiting)
                Function::release(f);
            Py_DECREF(f);
        }
        delete h;
    }
};

// The docstring among a function's nanobind extras: a plain C string.
inline const char *docstring_of(const char *doc, const char *) { return doc; }
template <typename Extra>
const char *docstring_of(const Extra &, const char *found) { return found; }

template <typename... Extra>
const char *docstring(const Extra &...extra) {
    const char *doc = nullptr;
    ((doc = docstring_of(extra, doc)), ...);
    return doc;
}

// A module-level function of `module` as Python code would define it, with
// the docstring among `extra` (if any) as its __doc__.
template <typename Func, typename... Extra>
nb::object module_function(nb::handle module, const char *name, Func &&f, const Extra &...extra) {
    nb::object fn = function(nb::cpp_function(std::forward<Func>(f), nb::name(name), extra...),
                             name, nb::str(name), module.attr("__name__"), docstring(extra...));
    Teardown::add(module, fn);
    return fn;
}

}  // namespace vexa
