// Helpers shared by the four extension modules of vexa.reporter.
//
// The modules define ordinary Python classes, created at import with
// type(name, bases, namespace), whose methods are nanobind functions. Instances
// keep their state in their own __dict__, so Python subclasses, per-class
// class attributes and Python base classes all behave as usual.
#pragma once

#include <nanobind/nanobind.h>


#include <string>
#include <utility>
#include <vector>

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

// A process-lifetime interned string, for attribute and key names.
inline PyObject *interned(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    check(s != nullptr);
    return s;
}

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

inline void set_attr(nb::handle obj, PyObject *name, nb::handle value) {
    check(PyObject_SetAttr(obj.ptr(), name, value.ptr()) == 0);
}

inline bool truthy(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    check(r >= 0);
    return r == 1;
}

inline bool is_instance(nb::handle obj, nb::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    check(r >= 0);
    return r == 1;
}

inline bool equal(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    check(r >= 0);
    return r == 1;
}

inline bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    check(r >= 0);
    return r == 1;
}

inline nb::object get_item(nb::handle obj, nb::handle key) {
    return steal_checked(PyObject_GetItem(obj.ptr(), key.ptr()));
}

inline void set_item(nb::handle obj, nb::handle key, nb::handle value) {
    check(PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()) == 0);
}

inline nb::object call_method(nb::handle obj, PyObject *name) {
    return steal_checked(PyObject_CallMethodNoArgs(obj.ptr(), name));
}

inline nb::object call_method(nb::handle obj, PyObject *name, nb::handle arg) {
    return steal_checked(PyObject_CallMethodOneArg(obj.ptr(), name, arg.ptr()));
}

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

// Calls f(item) for each item of any iterable.
template <typename F>
void for_each(nb::handle iterable, F &&f) {
    nb::object it = steal_checked(PyObject_GetIter(iterable.ptr()));
    while (PyObject *item = PyIter_Next(it.ptr()))
        f(nb::steal(item));
    check(!PyErr_Occurred());
}

// The module's own namespace, read when a method runs rather than at import,
// so that a name replaced in the module (a patched clock, say) takes effect.
// Holds only a weak reference: the module owns the classes that use it.
class ModuleScope {
public:
    void bind(nb::handle module) {
        ref_ = PyWeakref_NewRef(module.ptr(), nullptr);
        check(ref_ != nullptr);
    }

    // The value bound to `name`, or NameError as Python would raise it.
    nb::object operator[](PyObject *name) const {
        nb::object module = this->module();
        PyObject *dict = PyModule_GetDict(module.ptr());
        PyObject *value = PyDict_GetItemWithError(dict, name);
        if (!value) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            throw nb::python_error();
        }
        return nb::borrow(value);
    }

    nb::object module() const {
        PyObject *module = ref_ ? weakref_target(ref_) : nullptr;
        if (!module) {
            PyErr_SetString(PyExc_RuntimeError, "the module has been unloaded");
            throw nb::python_error();
        }
        return nb::steal(module);
    }

private:
    PyObject *ref_ = nullptr;  // kept for the life of the process
};

// The class a method was defined in, as a zero-argument super() sees it:
// fixed when the class is made, so rebinding the module's name to a
// subclass cannot send super() back into the same method. Weak, since the
// class holds the method.
class DefiningClass {
public:
    void bind(nb::handle cls) {
        ref_ = PyWeakref_NewRef(cls.ptr(), nullptr);
        check(ref_ != nullptr);
    }

    // super(<class>, obj)
    nb::object super(nb::handle obj) const {
        PyObject *cls = ref_ ? weakref_target(ref_) : nullptr;
        if (!cls) {
            PyErr_SetString(PyExc_RuntimeError, "super(): the class no longer exists");
            throw nb::python_error();
        }
        nb::object owner = nb::steal(cls);
        return steal_checked(PyObject_CallFunctionObjArgs(
            reinterpret_cast<PyObject *>(&PySuper_Type), owner.ptr(), obj.ptr(), nullptr));
    }

private:
    PyObject *ref_ = nullptr;  // kept for the life of the process
};

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
            static PyType_Spec spec = {
                "vexa.reporter.function", sizeof(Function), 0,
                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
                    Py_TPFLAGS_IMMUTABLETYPE,
                slots};
            PyObject *made = PyType_FromSpec(&spec);
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

// Wraps `func` as a Function named `name` (qualified `qualname`) of `module`.
inline nb::object function(nb::object func, const char *name, nb::handle qualname,
                           nb::handle module_name, const char *doc = nullptr) {
    Function *f = PyObject_GC_New(Function, Function::type());
    check(f != nullptr);
    f->func = func.release().ptr();
    f->name = nullptr;
    f->qualname = Py_NewRef(qualname.ptr());
    f->module = Py_NewRef(module_name.ptr());
    f->doc = doc ? PyUnicode_FromString(doc) : Py_NewRef(Py_None);
    f->vectorcall = &Function::call;
    nb::object result = nb::steal(reinterpret_cast<PyObject *>(f));
    check(f->doc != nullptr);
    f->name = PyUnicode_FromString(name);
    check(f->name != nullptr);
    PyObject_GC_Track(f);
    return result;
}

// The functions a module made, let go when its namespace is cleared at
// interpreter exit. A report object can outlive its module there in garbage
// the collector never frees: a datetime is not tracked by it, so one whose
// tzinfo is of a class defined in a script closes a cycle (the script's
// namespace, the datetime, the tzinfo, its class, its methods, the
// namespace) that stays to the end, and with it the classes of every report
// object the script holds. Without this their nanobind functions would
// outlive the interpreter.
class Teardown {
public:
    static void add(nb::handle module, nb::handle function) {
        nb::object capsule = get_optional_attr(module, key());
        if (!capsule.is_valid()) {
            capsule = steal_checked(PyCapsule_New(new Functions(), "vexa.teardown", &release));
            set_attr(module, key(), capsule);
        }
        auto *functions = static_cast<Functions *>(PyCapsule_GetPointer(capsule.ptr(), "vexa.teardown"));
        check(functions != nullptr);
        functions->push_back(Py_NewRef(function.ptr()));
    }

private:
    using Functions = std::vector<PyObject *>;  // owned

    static PyObject *key() {
        static PyObject *k = interned("__vexa_teardown__");
        return k;
    }

    static void release(PyObject *capsule) {
        auto *functions = static_cast<Functions *>(PyCapsule_GetPointer(capsule, "vexa.teardown"));
        if (!functions) {
            PyErr_Clear();
            return;
        }
        // Only at exit: a module dropped while the program runs leaves the
        // functions in its classes working.
#if PY_VERSION_HEX >= 0x030D0000
        bool exiting = Py_IsFinalizing();
#else
        bool exiting = _Py_IsFinalizing();
#endif
        for (PyObject *f : *functions) {
            if (exiting)
                Function::release(f);
            Py_DECREF(f);
        }
        delete functions;
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

// Collects a class namespace and creates the class with type(), the same way
// a class statement does, so bases may be any Python classes. Its functions
// are Functions: a docstring among the extras is their whole __doc__.
class ClassBuilder {
public:
    ClassBuilder(nb::handle module, const char *name, const char *doc = nullptr)
        : module_(module), name_(name) {
        ns_["__module__"] = module.attr("__name__");
        ns_["__qualname__"] = name;
        ns_["__doc__"] = doc ? nb::object(nb::str(doc)) : nb::object(nb::none());
    }

    template <typename Func, typename... Extra>
    ClassBuilder &method(const char *name, Func &&f, const Extra &...extra) {
        ns_[name] = wrap(nb::cpp_function(std::forward<Func>(f), nb::is_method(),
                                          nb::name(name), extra...),
                         name, docstring(extra...));
        return *this;
    }

    // A read-only property: assignment raises AttributeError.
    template <typename Func>
    ClassBuilder &property(const char *name, Func &&getter) {
        nb::object fget = wrap(nb::cpp_function(std::forward<Func>(getter),
                                                nb::is_method(), nb::name(name)),
                               name, nullptr);
        ns_[name] = steal_checked(PyObject_CallOneArg(
            reinterpret_cast<PyObject *>(&PyProperty_Type), fget.ptr()));
        return *this;
    }

    template <typename Func, typename... Extra>
    ClassBuilder &classmethod(const char *name, Func &&f, const Extra &...extra) {
        nb::object fn = wrap(nb::cpp_function(std::forward<Func>(f), nb::is_method(),
                                              nb::name(name), extra...),
                             name, docstring(extra...));
        ns_[name] = steal_checked(PyClassMethod_New(fn.ptr()));
        return *this;
    }

    template <typename Func, typename... Extra>
    ClassBuilder &staticmethod(const char *name, Func &&f, const Extra &...extra) {
        nb::object fn = wrap(nb::cpp_function(std::forward<Func>(f), nb::name(name), extra...),
                             name, docstring(extra...));
        ns_[name] = steal_checked(PyStaticMethod_New(fn.ptr()));
        return *this;
    }

    ClassBuilder &attr(const char *name, nb::handle value) {
        ns_[name] = value;
        return *this;
    }

    nb::dict &ns() { return ns_; }

    // Create the class with the given bases.
    nb::object create(nb::handle bases) {
        nb::object args = nb::make_tuple(nb::str(name_), bases, ns_);
        return steal_checked(PyObject_Call(
            reinterpret_cast<PyObject *>(&PyType_Type), args.ptr(), nullptr));
    }

    // Create the class with the given bases and bind it in the module.
    nb::object build(nb::handle bases) {
        nb::object cls = create(bases);
        nb::setattr(module_, name_, cls);
        return cls;
    }

private:
    nb::object wrap(nb::object fn, const char *name, const char *doc) {
        nb::object qualname = steal_checked(PyUnicode_FromFormat("%s.%s", name_, name));
        nb::object f = function(std::move(fn), name, qualname, ns_["__module__"], doc);
        Teardown::add(module_, f);
        return f;
    }

    nb::handle module_;
    const char *name_;
    nb::dict ns_;
};

}  // namespace vexa
