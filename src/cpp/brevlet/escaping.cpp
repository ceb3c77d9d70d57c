// Free text made safe: escape() and escape_data() rewrite control
// characters and lone surrogates as visible backslash escapes, and
// xml_text() does the same for what XML 1.0 cannot carry.
//
// A picked character becomes \xNN (below U+0100) or \uNNNN (put_visible in
// common/xml.hpp).
#include "escaping.hpp"

#include "../common/calls.hpp"
#include "../common/recursion.hpp"
#include "../common/text.hpp"
#include "../common/xml.hpp"

#include <cstdio>

namespace vexa::brevlet {

namespace {

struct EscapeRule {  // what escape() rewrites
    static bool pick(Py_UCS4 c) {
        return c <= 0x08 || c == 0x1b || (c >= 0xd800 && c <= 0xdfff);
    }
};

struct XmlRule {  // what XML 1.0 cannot carry
    static bool pick(Py_UCS4 c) { return xml_forbidden(c); }
};

template <typename Rule, typename In, typename Out>
void rewrite_into(const In *in, Py_ssize_t n, Out *out) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = in[i];
        if (Rule::pick(c))
            out = put_visible(out, c);
        else
            *out++ = (Out) c;
    }
}

template <typename Rule, typename In>
PyObject *rewrite_kind(PyObject *s, const In *in, Py_ssize_t n) {
    // First pass: the length and widest kept character of the result.
    Py_ssize_t grow = 0;
    Py_UCS4 widest = 0x7f;  // the escapes themselves are ASCII
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = in[i];
        if (Rule::pick(c))
            grow += c < 0x100 ? 3 : 5;
        else if (sizeof(In) > 1 && c > widest)
            widest = c;
    }
    if (grow == 0)
        return PyUnicode_Substring(s, 0, n);  // s itself, as exact str
    if (sizeof(In) == 1 && !PyUnicode_IS_ASCII(s))
        widest = 0xff;  // one-byte picks are all below U+0020
    PyObject *r = PyUnicode_New(n + grow, widest);
    if (!r)
        return nullptr;
    visit_units(PyUnicode_KIND(r), PyUnicode_DATA(r), n + grow,
                [&](auto out, Py_ssize_t) { rewrite_into<Rule>(in, n, out); });
    return r;
}

// New reference to `s` rewritten by Rule; `s` must be a str.
template <typename Rule>
nb::object rewrite(nb::handle str) {
    PyObject *s = str.ptr();
    return steal_checked(visit_chars(s, [&](auto in, Py_ssize_t n) { return rewrite_kind<Rule>(s, in, n); }));
}

}  // namespace

// Text for an element or attribute of the summary: None stays None, other
// values their str(), and what XML 1.0 cannot carry becomes visible.
nb::object xml_text(nb::handle value) {
    if (value.is_none())
        return nb::none();
    if (PyUnicode_Check(value.ptr()))
        return rewrite<XmlRule>(value);
    return rewrite<XmlRule>(to_str(value));
}

nb::object escape_repl(const State &s, nb::handle match) {
    nb::object ch = call_method(match, N.group, nb::handle(N.zero));
    long code;
    if (PyUnicode_Check(ch.ptr()) && PyUnicode_GET_LENGTH(ch.ptr()) == 1) {
        code = (long) PyUnicode_READ_CHAR(ch.ptr(), 0);
    } else {  // ord() gives the error, or the byte's value
        nb::object ord = call(s.scope.global_or_builtin(N.ord), ch);
        code = PyLong_AsLong(ord.ptr());
        check(!(code == -1 && PyErr_Occurred()));
    }
    char buf[32];  // "\x{:>02x}"; widths in PyUnicode_FromFormat need 3.12
    snprintf(buf, sizeof buf, "\\x%02lx", code);
    return steal_checked(PyUnicode_FromString(buf));
}

namespace {

// The regex pass and the UTF-8 round trip, in Python's terms: for values
// other than str (which raise TypeError there) and for a patched module.
nb::object escape_generic(nb::handle pattern, nb::handle repl, nb::handle string) {
    nb::object subbed = call_method(pattern, N.sub, {repl, string});
    nb::object raw = call_method(subbed, N.encode, {nb::handle(N.backslashreplace)},
                                 N.kw_errors);
    return call_method(raw, N.decode);
}

}  // namespace

// escape(): one C++ pass while the module's pattern and callback are its own.
nb::object escape(const State &s, nb::handle string) {
    if (PyUnicode_Check(string.ptr()) && s.escape_pins.holds())
        return rewrite<EscapeRule>(string);
    return escape_generic(s.scope[N.ESCAPE_SEQUENCE], s.scope[N._escape_repl], string);
}

namespace {

// escape_data() with `current` as the module's escape(): the module's own
// is called directly.
nb::object walk(const State &s, nb::handle data, nb::handle current) {
    PyObject *d = data.ptr();
    if (PyUnicode_Check(d))
        return current.is(s.own[s.escape]) ? escape(s, data) : call(current, data);
    if (PyList_Check(d)) {
        RecursionScope level(" in escape_data");
        nb::object out = steal_checked(PyList_New(0));
        auto add = [&](nb::handle item) {
            nb::object v = walk(s, item, current);
            check(PyList_Append(out.ptr(), v.ptr()) == 0);
        };
        if (PyList_CheckExact(d)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(d); ++i)
                add(nb::borrow(PyList_GET_ITEM(d, i)));
        } else {
            for_each(data, add);
        }
        return out;
    }
    if (PyDict_Check(d)) {
        RecursionScope level(" in escape_data");
        nb::object out = steal_checked(PyDict_New());
        auto add = [&](nb::handle key, nb::handle value) {
            nb::object k = walk(s, key, current);
            nb::object v = walk(s, value, current);
            set_item(out, k, v);
        };
        if (PyDict_CheckExact(d)) {
            Py_ssize_t pos = 0, size = PyDict_GET_SIZE(d);
            PyObject *k, *v;
            while (PyDict_Next(d, &pos, &k, &v)) {
                add(nb::borrow(k), nb::borrow(v));
                if (PyDict_GET_SIZE(d) != size) {
                    PyErr_SetString(PyExc_RuntimeError,
                                    "dictionary changed size during iteration");
                    throw nb::python_error();
                }
            }
        } else {  // a subclass iterates its items in its own order
            nb::object items = call_method(data, N.items);
            for_each(items, [&](nb::handle pair) {
                auto [key, value] = unpack_pair(pair);
                add(key, value);
            });
        }
        return out;
    }
    if (PyTuple_Check(d)) {
        RecursionScope level(" in escape_data");
        nb::object items = steal_checked(PyList_New(0));
        for_each(data, [&](nb::handle item) {
            nb::object v = walk(s, item, current);
            check(PyList_Append(items.ptr(), v.ptr()) == 0);
        });
        return steal_checked(PyList_AsTuple(items.ptr()));
    }
    return nb::borrow(data);
}

}  // namespace

nb::object escape_data(const State &s, nb::handle data) {
    return walk(s, data, s.scope[N.escape]);
}

}  // namespace vexa::brevlet
