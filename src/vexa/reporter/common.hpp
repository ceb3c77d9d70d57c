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

// The functions a module put into its classes, let go when the module's
// namespace is cleared at interpreter exit. A report object can outlive its
// module there in garbage the collector never frees: a datetime is not
// tracked by it, so one whose tzinfo is of a class defined in a script
// closes a cycle (the script's namespace, the datetime, the tzinfo, its
// class, its methods, the namespace) that stays to the end, and with it
// the classes of every report object the script holds. Without this their
// nanobind functions would outlive the interpreter.
class Teardown {
public:
    // Registers the names of `cls` that hold the module's functions.
    static void add(nb::handle module, nb::handle cls, std::vector<std::string> names) {
        nb::object capsule = get_optional_attr(module, key());
        if (!capsule.is_valid()) {
            capsule = steal_checked(PyCapsule_New(new Classes(), "vexa.teardown", &release));
            set_attr(module, key(), capsule);
        }
        auto *classes = static_cast<Classes *>(PyCapsule_GetPointer(capsule.ptr(), "vexa.teardown"));
        check(classes != nullptr);
        PyObject *ref = PyWeakref_NewRef(cls.ptr(), nullptr);
        check(ref != nullptr);
        classes->push_back({ref, std::move(names)});
    }

private:
    struct Entry {
        PyObject *ref;  // weak reference to the class
        std::vector<std::string> names;
    };
    using Classes = std::vector<Entry>;

    static PyObject *key() {
        static PyObject *k = interned("__vexa_teardown__");
        return k;
    }

    static bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
        return Py_IsFinalizing();
#else
        return _Py_IsFinalizing();
#endif
    }

    static void release(PyObject *capsule) {
        auto *classes = static_cast<Classes *>(PyCapsule_GetPointer(capsule, "vexa.teardown"));
        if (!classes) {
            PyErr_Clear();
            return;
        }
        // Only at exit: a module dropped while the program runs leaves its
        // classes as they are.
        bool exiting = finalizing();
#if PY_VERSION_HEX >= 0x030C0000
        PyObject *pending = PyErr_GetRaisedException();
#else
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
#endif
        for (Entry &entry : *classes) {
            PyObject *cls = exiting ? weakref_target(entry.ref) : nullptr;
            if (cls) {
                for (const std::string &name : entry.names)
                    if (PyObject_DelAttrString(cls, name.c_str()) < 0)
                        PyErr_Clear();
                Py_DECREF(cls);
            }
            Py_DECREF(entry.ref);
        }
        delete classes;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(pending);
#else
        PyErr_Restore(type, value, tb);
#endif
    }
};

// Collects a class namespace and creates the class with type(), the same way
// a class statement does, so bases may be any Python classes.
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
        ns_[name] = nb::cpp_function(std::forward<Func>(f), nb::is_method(),
                                     nb::name(name), extra...);
        functions_.emplace_back(name);
        return *this;
    }

    // A read-only property: assignment raises AttributeError.
    template <typename Func>
    ClassBuilder &property(const char *name, Func &&getter) {
        nb::object fget = nb::cpp_function(std::forward<Func>(getter),
                                           nb::is_method(), nb::name(name));
        ns_[name] = steal_checked(PyObject_CallOneArg(
            reinterpret_cast<PyObject *>(&PyProperty_Type), fget.ptr()));
        functions_.emplace_back(name);
        return *this;
    }

    template <typename Func, typename... Extra>
    ClassBuilder &classmethod(const char *name, Func &&f, const Extra &...extra) {
        nb::object fn = nb::cpp_function(std::forward<Func>(f), nb::is_method(),
                                         nb::name(name), extra...);
        ns_[name] = steal_checked(PyClassMethod_New(fn.ptr()));
        functions_.emplace_back(name);
        return *this;
    }

    template <typename Func, typename... Extra>
    ClassBuilder &staticmethod(const char *name, Func &&f, const Extra &...extra) {
        nb::object fn = nb::cpp_function(std::forward<Func>(f), nb::name(name), extra...);
        ns_[name] = steal_checked(PyStaticMethod_New(fn.ptr()));
        functions_.emplace_back(name);
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
        nb::object cls = steal_checked(PyObject_Call(
            reinterpret_cast<PyObject *>(&PyType_Type), args.ptr(), nullptr));
        Teardown::add(module_, cls, functions_);
        return cls;
    }

    // Create the class with the given bases and bind it in the module.
    nb::object build(nb::handle bases) {
        nb::object cls = create(bases);
        nb::setattr(module_, name_, cls);
        return cls;
    }

private:
    nb::handle module_;
    const char *name_;
    nb::dict ns_;
    std::vector<std::string> functions_;  // names that hold our functions
};

}  // namespace vexa
