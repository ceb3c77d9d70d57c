// "Still as imported": the one test that lets a fast path run.
//
// A fast path writes the text that a chain of Python objects (a library's
// functions, a class and its bases, a table of representers, the module's
// own globals) would produce, so it may run only while those objects are the
// ones it mirrors. Each fast path keeps them as Pins, taken at import: where
// each is found (a module global, a builtin, an attribute of an earlier pin,
// the items of a dict) and what was there. holds() looks each one up again
// and compares by identity; a dict's items are compared key by key, and
// lists among them item by item. After release(), at interpreter exit,
// nothing holds and every fast path leaves the work to the generic path.
//
// uses_own() asks the same of one object's class: whether it still resolves
// a method name to the module's own function, so a direct C++ call may stand
// in for the method call.
#pragma once

#include "classes.hpp"

#include <vector>

namespace vexa {

class Pins {
public:
    using Id = int;

    explicit Pins(const ModuleScope &scope) : scope_(&scope) {}

    // The module's global `name`.
    Id global(PyObject *name) { return add({Home::Global, -1, name, {}, {}, false}); }
    // The builtin `name`.
    Id builtin(PyObject *name) { return add({Home::Builtin, -1, name, {}, {}, false}); }
    // Attribute `name` of what pin `of` holds.
    Id attr(Id of, PyObject *name) { return add({Home::Attr, of, name, {}, {}, false}); }
    // An object held as it is, such as a module imported at import.
    Id fixed(nb::handle value) {
        return add({Home::Fixed, -1, nullptr, nb::borrow(value), {}, false});
    }
    // The items of the dict that pin `of` holds; with `lists`, list values
    // are compared item by item rather than as objects.
    Id items(Id of, bool lists = false) { return add({Home::Items, of, nullptr, {}, {}, lists}); }

    // What pin `id` found at import: null when the name was missing.
    nb::handle operator[](Id id) const { return pins_[(size_t) id].value; }

    // True while every pin finds what it found at import.
    bool holds() const {
        if (!live_)
            return false;
        PyObject *module_dict = needs_module_ ? scope_->dict() : nullptr;
        for (const Pin &pin : pins_) {
            if (pin.home == Home::Items) {
                if (!same_items(pins_[(size_t) pin.of].value, pin.copy, pin.lists))
                    return false;
                continue;
            }
            nb::object now = find(pin, module_dict);
            if (now.ptr() != pin.value.ptr())
                return false;
        }
        return true;
    }

    // Whether the pins held at import: a fast path that found its library
    // different from the one it mirrors turns itself off with disable().
    bool live() const { return live_; }
    void disable() { live_ = false; }

    // Lets go of every object: at interpreter exit.
    void release() {
        live_ = false;
        pins_.clear();
    }

private:
    enum class Home : uint8_t { Global, Builtin, Attr, Fixed, Items };

    struct Pin {
        Home home;
        Id of;
        PyObject *name;
        nb::object value;  // what was found at import
        nb::object copy;   // for Items: the items at import
        bool lists;
    };

    Id add(Pin pin) {
        PyObject *module_dict = scope_->dict();
        if (pin.home == Home::Global)
            needs_module_ = true;
        if (pin.home == Home::Items) {
            pin.copy = freeze(pins_[(size_t) pin.of].value, pin.lists);
        } else if (pin.home != Home::Fixed) {
            pin.value = find(pin, module_dict);
        }
        pins_.push_back(std::move(pin));
        return (Id) pins_.size() - 1;
    }

    nb::object find(const Pin &pin, PyObject *module_dict) const {
        PyObject *found = nullptr;
        switch (pin.home) {
        case Home::Global:
            found = PyDict_GetItemWithError(module_dict, pin.name);
            break;
        case Home::Builtin:
            found = PyDict_GetItemWithError(PyEval_GetBuiltins(), pin.name);
            break;
        case Home::Attr: {
            nb::handle owner = pins_[(size_t) pin.of].value;
            return owner.is_valid() ? get_optional_attr(owner, pin.name) : nb::object();
        }
        case Home::Fixed:
        case Home::Items:
            return pin.value;
        }
        check(found || !PyErr_Occurred());
        return nb::borrow(found);
    }

    // A copy of the dict's items, lists made tuples when `lists`.
    static nb::object freeze(nb::handle dict, bool lists) {
        if (!dict.is_valid() || !PyDict_CheckExact(dict.ptr()))
            return nb::object();
        nb::object copy = steal_checked(PyDict_New());
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict.ptr(), &pos, &key, &value)) {
            nb::object kept = lists && PyList_CheckExact(value)
                                  ? steal_checked(PyList_AsTuple(value))
                                  : nb::borrow(value);
            set_item(copy, key, kept);
        }
        return copy;
    }

    // The same keys bound to the very same objects (lists: the same items).
    static bool same_items(nb::handle live, nb::handle copy, bool lists) {
        if (!copy.is_valid() || !PyDict_CheckExact(live.ptr()) ||
            PyDict_GET_SIZE(live.ptr()) != PyDict_GET_SIZE(copy.ptr()))
            return false;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(copy.ptr(), &pos, &key, &value)) {
            PyObject *now = PyDict_GetItemWithError(live.ptr(), key);
            if (now == value)
                continue;
            check(!PyErr_Occurred());
            if (!lists || !now || !PyList_CheckExact(now) || !PyTuple_CheckExact(value) ||
                PyList_GET_SIZE(now) != PyTuple_GET_SIZE(value))
                return false;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); ++i)
                if (PyList_GET_ITEM(now, i) != PyTuple_GET_ITEM(value, i))
                    return false;
        }
        return true;
    }

    const ModuleScope *scope_;
    std::vector<Pin> pins_;
    bool needs_module_ = false;
    bool live_ = true;
};

// What the classes of type's MRO define for `name` (the first one found),
// without binding it; null when none does.
inline PyObject *class_attribute(PyTypeObject *type, const char *name) {
    nb::str key(name);
    PyObject *mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject *found = PyDict_GetItemWithError(class_dict(PyTuple_GET_ITEM(mro, i)).ptr(), key.ptr());
        if (found)
            return found;  // the class dicts keep it alive
        check(!PyErr_Occurred());
    }
    return nullptr;
}

// True when obj's class resolves `name` to `fn`, the module's own function.
inline bool uses_own(nb::handle obj, PyObject *name, nb::handle fn) {
    if (!fn.is_valid())
        return false;
    nb::object found = get_optional_attr(type_of(obj), name);
    return found.ptr() == fn.ptr();
}

}  // namespace vexa
