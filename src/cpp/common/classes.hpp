// Python classes built at import, and the module namespace their methods
// read when they run.
//
// The modules define ordinary Python classes, created with type(name,
// bases, namespace) as a class statement would, whose methods are nanobind
// functions. Instances keep their state in their own __dict__, so Python
// subclasses, per-class class attributes and Python base classes all behave
// as usual.
#pragma once

#include "functions.hpp"

namespace vexa {

// The module's own namespace, read when a method runs rather than at import,
// so that a name replaced in the module (a patched clock, say) takes effect.
// Holds only a weak reference: the module owns the classes that use it.
class ModuleScope {
public:
    void bind(nb::handle module) {
        ref_ = nb::steal(PyWeakref_NewRef(module.ptr(), nullptr));
        check(ref_.is_valid());
    }

    // The value bound to `name`, or NameError as Python would raise it.
    nb::object operator[](PyObject *name) const {
        PyObject *value = find(name);
        if (!value)
            throw_name_error(name);
        return nb::borrow(value);
    }

    // A name as a function body sees it: the module's globals, then builtins.
    nb::object global_or_builtin(PyObject *name) const {
        PyObject *value = find(name);
        if (!value) {
            value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
            if (!value)
                throw_name_error(name);
        }
        return nb::borrow(value);
    }

    // The module's global `name`, borrowed, or null when it has none.
    PyObject *find(PyObject *name) const {
        PyObject *value = PyDict_GetItemWithError(dict(), name);
        check(value || !PyErr_Occurred());
        return value;
    }

    nb::object module() const {
        PyObject *module = ref_.is_valid() ? weakref_target(ref_.ptr()) : nullptr;
        if (!module) {
            PyErr_SetString(PyExc_RuntimeError, "the module has been unloaded");
            throw nb::python_error();
        }
        return nb::steal(module);
    }

    // The module's dict, borrowed: the module lives while its methods run.
    PyObject *dict() const { return PyModule_GetDict(module().ptr()); }

private:
    [[noreturn]] static void throw_name_error(PyObject *name) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw nb::python_error();
    }

    nb::object ref_;  // kept for the life of the process
};

// The class a method was defined in, as a zero-argument super() sees it:
// fixed when the class is made, so rebinding the module's name to a
// subclass cannot send super() back into the same method. Weak, since the
// class holds the method.
class DefiningClass {
public:
    void bind(nb::handle cls) {
        ref_ = nb::steal(PyWeakref_NewRef(cls.ptr(), nullptr));
        check(ref_.is_valid());
    }

    // super(<class>, obj)
    nb::object super(nb::handle obj) const {
        PyObject *cls = ref_.is_valid() ? weakref_target(ref_.ptr()) : nullptr;
        if (!cls) {
            PyErr_SetString(PyExc_RuntimeError, "super(): the class no longer exists");
            throw nb::python_error();
        }
        nb::object owner = nb::steal(cls);
        return steal_checked(PyObject_CallFunctionObjArgs(
            reinterpret_cast<PyObject *>(&PySuper_Type), owner.ptr(), obj.ptr(), nullptr));
    }

private:
    nb::object ref_;  // kept for the life of the process
};

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

    // A method whose body is called with CPython's fast calling convention:
    // the instance first among the positional arguments, keywords beside.
    ClassBuilder &fast_method(const char *name, vectorcallfunc body) {
        nb::object qualname = steal_checked(PyUnicode_FromFormat("%s.%s", name_, name));
        ns_[name] = fast_function(body, name, qualname, ns_["__module__"]);
        return *this;
    }

    ClassBuilder &attr(const char *name, nb::handle value) {
        ns_[name] = value;
        return *this;
    }

    nb::dict &ns() { return ns_; }

    // Create the class with the given bases and bind it in the module.
    nb::object build(nb::handle bases) {
        nb::object cls = create(bases);
        nb::setattr(module_, name_, cls);
        return cls;
    }

    // Create the class without binding it in the module.
    nb::object create(nb::handle bases) {
        nb::object args = nb::make_tuple(nb::str(name_), bases, ns_);
        return steal_checked(PyObject_Call(
            reinterpret_cast<PyObject *>(&PyType_Type), args.ptr(), nullptr));
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

inline nb::object object_bases() {
    return nb::make_tuple(nb::handle((PyObject *) &PyBaseObject_Type));
}

}  // namespace vexa
