// Helpers for the calls a job makes per section (construct, start, stop):
// keyword arguments read as the caller passed them, names found by identity,
// and what a class or the module resolves a name to, remembered until it
// changes. Each answers exactly what the generic lookup would.
#pragma once

#include "calls.hpp"
#include "classes.hpp"

#include <cstdint>
#include <new>

namespace vexa {

// Two exact str that are both interned are equal only if they are one
// object: the interpreter keeps one interned copy of each value.
inline bool both_interned(PyObject *a, PyObject *b) {
    return PyUnicode_CHECK_INTERNED(a) && PyUnicode_CHECK_INTERNED(b);
}

// Equality of two names as str's == decides it. Keyword names and the
// module's names are interned, so identity nearly always answers.
inline bool same_name(PyObject *a, PyObject *b) {
    if (a == b)
        return true;
    if (!PyUnicode_CheckExact(a) || !PyUnicode_CheckExact(b))
        return equal(a, b);
    if (both_interned(a, b))
        return false;
    return PyObject_Hash(a) == PyObject_Hash(b) && PyUnicode_Compare(a, b) == 0;
}

// `key in names`. A list of exact str searched for an exact str (the usual
// _ARG_ORDER and keyword) is scanned by identity, then by hash and value,
// which is all str's == looks at; anything else takes the rich comparison.
inline bool name_in(nb::handle names, PyObject *key) {
    PyObject *list = names.ptr();
    if (PyList_CheckExact(list) && PyUnicode_CheckExact(key)) {
        Py_ssize_t n = PyList_GET_SIZE(list), i = 0;
        for (; i < n; ++i) {
            PyObject *item = PyList_GET_ITEM(list, i);
            if (item == key)
                return true;
            if (!PyUnicode_CheckExact(item))
                break;
        }
        if (i == n) {
            // Not found by identity: only a str not interned can still be equal.
            Py_hash_t hash = PyObject_Hash(key);
            for (i = 0; i < n; ++i) {
                PyObject *item = PyList_GET_ITEM(list, i);
                if (!both_interned(item, key) && PyObject_Hash(item) == hash &&
                    PyUnicode_Compare(item, key) == 0)
                    return true;
            }
            return false;
        }
    }
    return contains(names, nb::handle(key));
}

// Keyword arguments as CPython's vectorcall passes them: a tuple of names
// and the values beside them. Up to two may be taken out ("popped") before
// the rest is handed on, as dict.pop() would on a kwargs dict.
class Keywords {
public:
    Keywords() = default;
    Keywords(PyObject *names, PyObject *const *values) : names_(names), values_(values) {}

    Py_ssize_t size() const { return names_ ? PyTuple_GET_SIZE(names_) : 0; }
    PyObject *name(Py_ssize_t i) const { return PyTuple_GET_ITEM(names_, i); }
    PyObject *value(Py_ssize_t i) const { return values_[i]; }
    bool popped(Py_ssize_t i) const { return i == popped_[0] || i == popped_[1]; }

    // Takes `key` out and returns its value, or `fallback`.
    nb::object pop(PyObject *key, nb::handle fallback) {
        for (Py_ssize_t i = 0, n = size(); i < n; ++i)
            if (!popped(i) && same_name(name(i), key)) {
                popped_[popped_[0] < 0 ? 0 : 1] = i;
                return nb::borrow(value(i));
            }
        return nb::borrow(fallback);
    }

    // f(name, value) for each keyword not popped, in the caller's order.
    template <typename F>
    void each(F &&f) const {
        for (Py_ssize_t i = 0, n = size(); i < n; ++i)
            if (!popped(i))
                f(name(i), value(i));
    }

    // The kwargs dict a def f(**kwargs) would see.
    nb::dict dict() const {
        nb::dict d;
        each([&](PyObject *k, PyObject *v) { check(PyDict_SetItem(d.ptr(), k, v) == 0); });
        return d;
    }

private:
    PyObject *names_ = nullptr;
    PyObject *const *values_ = nullptr;
    Py_ssize_t popped_[2] = {-1, -1};
};

// f(key, value) for each item of a mapping as `for k, v in data.items()`
// gives them; an exact dict is walked in place, and changing its size on
// the way raises as iterating its items would.
template <typename Unpack, typename F>
void each_item(nb::handle data, PyObject *items_name, Unpack &&unpack, F &&f) {
    if (PyDict_CheckExact(data.ptr())) {
        PyObject *dict = data.ptr(), *key, *value;
        Py_ssize_t pos = 0, size = PyDict_GET_SIZE(dict);
        while (PyDict_Next(dict, &pos, &key, &value)) {
            nb::object k = nb::borrow(key), v = nb::borrow(value);
            f(k.ptr(), v.ptr());
            if (PyDict_GET_SIZE(dict) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                throw nb::python_error();
            }
        }
        return;
    }
    for_each(call_method(data, items_name), [&](nb::handle item) {
        auto [key, value] = unpack(item);
        f(key.ptr(), value.ptr());
    });
}

// Facts about a class (bits the caller defines), remembered by the class's
// version tag: CPython gives a class a new tag whenever it or one of its
// bases changes, and never reuses one, so a remembered answer holds until
// then. Classes with a metaclass of their own are asked every time.
class ClassFacts {
public:
    template <typename Compute>
    uint32_t get(PyTypeObject *type, Compute &&compute) {
        unsigned int tag = type->tp_version_tag;
        Entry &entry = entries_[tag % size];
        if (tag && entry.tag == tag)
            return entry.facts;
        uint32_t facts = compute(type);
        if (tag && tag == type->tp_version_tag && Py_IS_TYPE(type, &PyType_Type))
            entry = {tag, facts};
        return facts;
    }

private:
    static constexpr unsigned int size = 64;
    struct Entry {
        unsigned int tag;
        uint32_t facts;
    };
    Entry entries_[size] = {};
};

// A module's globals as the hot paths read them, remembered until the
// module's namespace changes. On 3.12 and later a dict watcher forgets them
// on any change to it, so a replaced name (a patched clock) takes effect at
// once; 3.11 has no watchers and looks each name up every time.
template <int Count>
class WatchedGlobals {
public:
    void bind(const ModuleScope *scope, PyObject *const *names) {
        scope_ = scope;
        names_ = names;
#if PY_VERSION_HEX >= 0x030C0000
        instance_ = this;  // a module imported afresh takes over the watcher
        if (watcher_ < 0) {
            watcher_ = PyDict_AddWatcher(&on_change);
            if (watcher_ < 0) {  // all watcher slots taken: look names up instead
                PyErr_Clear();
                return;
            }
        }
        nb::object module = scope->module();
        if (PyDict_Watch(watcher_, PyModule_GetDict(module.ptr())) == 0)
            watching_ = true;
        else
            PyErr_Clear();
#endif
    }

    nb::object operator[](int i) {
        if (!watching_)
            return (*scope_)[names_[i]];
        if (!values_[i])
            values_[i] = (*scope_)[names_[i]].ptr();  // borrowed: the namespace holds it
        return nb::borrow(values_[i]);
    }

    void release() {
        forget();
        watching_ = false;
#if PY_VERSION_HEX >= 0x030C0000
        // The watcher is this one's only while no module imported afresh took it over.
        if (instance_ != this)
            return;
        instance_ = nullptr;
        if (watcher_ >= 0 && PyDict_ClearWatcher(watcher_) < 0)
            PyErr_Clear();
        watcher_ = -1;
#endif
    }

private:
    void forget() {
        for (PyObject *&value : values_)
            value = nullptr;
    }

#if PY_VERSION_HEX >= 0x030C0000
    static int on_change(PyDict_WatchEvent event, PyObject *, PyObject *, PyObject *) {
        if (instance_) {
            instance_->forget();
            if (event == PyDict_EVENT_DEALLOCATED)
                instance_->watching_ = false;
        }
        return 0;
    }
    static inline int watcher_ = -1;
    static inline WatchedGlobals *instance_ = nullptr;
#endif

    const ModuleScope *scope_ = nullptr;
    PyObject *const *names_ = nullptr;
    PyObject *values_[Count] = {};
    bool watching_ = false;
};

// Runs a C++ body as a CPython function: Python errors pass through,
// anything else becomes the error nanobind would raise for it.
template <typename F>
PyObject *guarded(F &&f) noexcept {
    try {
        return f();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ error");
    }
    return nullptr;
}

}  // namespace vexa
