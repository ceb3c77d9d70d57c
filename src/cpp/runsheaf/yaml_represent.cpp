#include "yaml_represent.hpp"

#include "../common/calls.hpp"
#include "../common/fallback.hpp"
#include "../common/format.hpp"
#include "documents.hpp"

#include <algorithm>
#include <cstring>

namespace vexa::runsheaf::yaml {

namespace {

// str_representer's clean-up: every line rstripped as str.rstrip() does
template <class C>
void strip_lines(const C *s, Py_ssize_t n, std::string &out) {
    const C newline = '\n';
    out.reserve((size_t) n * sizeof(C));
    for (Py_ssize_t start = 0;;) {
        Py_ssize_t end = start;
        while (end < n && s[end] != '\n')
            ++end;
        Py_ssize_t stop = end;
        while (stop > start && Py_UNICODE_ISSPACE(s[stop - 1]))
            --stop;
        out.append((const char *) (s + start), (size_t) (stop - start) * sizeof(C));
        if (end == n)
            break;
        out.append((const char *) &newline, sizeof(C));
        start = end + 1;
    }
}

// Code point order, as str's < compares.
int compare_str(PyObject *a, PyObject *b) {
    Py_ssize_t la = PyUnicode_GET_LENGTH(a), lb = PyUnicode_GET_LENGTH(b);
    int ka = PyUnicode_KIND(a), kb = PyUnicode_KIND(b);
    const void *da = PyUnicode_DATA(a), *db = PyUnicode_DATA(b);
    Py_ssize_t n = std::min(la, lb);
    if (ka == PyUnicode_1BYTE_KIND && kb == PyUnicode_1BYTE_KIND) {
        if (int c = std::memcmp(da, db, (size_t) n))
            return c;
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_UCS4 ca = PyUnicode_READ(ka, da, i), cb = PyUnicode_READ(kb, db, i);
            if (ca != cb)
                return ca < cb ? -1 : 1;
        }
    }
    return la < lb ? -1 : la > lb;
}

// represent_mapping's sorted() of the (key, value) tuples, keeping the given
// order when the keys cannot be ordered (TypeError).
void sort_pairs(Pairs &pairs) {
    bool str_keys = std::all_of(pairs.begin(), pairs.end(), [](const auto &p) {
        return PyUnicode_CheckExact(p.first.ptr());
    });
    if (str_keys) {
        // the keys of one mapping differ, so they alone decide the order
        std::sort(pairs.begin(), pairs.end(), [](const auto &a, const auto &b) {
            return compare_str(a.first.ptr(), b.first.ptr()) < 0;
        });
        return;
    }
    nb::object list = steal_checked(PyList_New((Py_ssize_t) pairs.size()));
    for (size_t i = 0; i < pairs.size(); ++i)
        PyList_SET_ITEM(list.ptr(), (Py_ssize_t) i,
                        steal_checked(PyTuple_Pack(2, pairs[i].first.ptr(), pairs[i].second.ptr()))
                            .release().ptr());
    if (PyList_Sort(list.ptr()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw nb::python_error();
        PyErr_Clear();
        return;
    }
    for (size_t i = 0; i < pairs.size(); ++i) {
        PyObject *item = PyList_GET_ITEM(list.ptr(), (Py_ssize_t) i);
        pairs[i] = {nb::borrow(PyTuple_GET_ITEM(item, 0)), nb::borrow(PyTuple_GET_ITEM(item, 1))};
    }
}

// list(d.items()) of an exact dict
void dict_pairs(nb::handle dict, Pairs &pairs) {
    pairs.reserve((size_t) PyDict_GET_SIZE(dict.ptr()));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict.ptr(), &pos, &key, &value))
        pairs.emplace_back(nb::borrow(key), nb::borrow(value));
}

// list(obj.items()), each item unpacked as `for k, v in ...` does
void items_pairs(nb::handle obj, Pairs &pairs) {
    nb::object items = steal_checked(PySequence_List(call_method(obj, N.items).ptr()));
    pairs.reserve((size_t) PyList_GET_SIZE(items.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i)
        pairs.push_back(unpack_pair(PyList_GET_ITEM(items.ptr(), i)));
}

}  // namespace

void Representer::set_text(Rep &r, Tag tag, nb::object str) {
    r.tag = tag;
    r.keep = std::move(str);
    r.width = PyUnicode_KIND(r.keep.ptr());
    r.data = PyUnicode_DATA(r.keep.ptr());
    r.len = PyUnicode_GET_LENGTH(r.keep.ptr());
}

void Representer::set_ascii(Rep &r, Tag tag, std::string_view text) {
    r.tag = tag;
    r.chars.assign(text);
    r.data = r.chars.data();
    r.len = (Py_ssize_t) r.chars.size();
}

void Representer::set_mapping(Rep &r, Tag tag) {
    r.kind = Rep::MAP;
    r.tag = tag;
}

// Dispatch on the exact type, as PyYAML looks up yaml_representers.
Representer::Representer(const YamlStock &stock) : s_(stock) { VEXA_IMPORT_DATETIME(); }

void Representer::represent(nb::handle obj, Rep &r) {
    PyObject *o = obj.ptr();
    PyTypeObject *type = Py_TYPE(o);
    if (type == &PyUnicode_Type)
        represent_str(obj, r);
    else if (type == &PyLong_Type)
        represent_int(obj, r);
    else if (type == &PyFloat_Type)
        represent_float(obj, r);
    else if (type == &PyBool_Type)
        set_ascii(r, TAG_BOOL, o == Py_True ? "true" : "false");
    else if (o == Py_None)
        set_ascii(r, TAG_NULL, "null");
    else if (type == &PyList_Type || type == &PyTuple_Type) {
        r.kind = Rep::SEQ;
        r.tag = TAG_SEQ;
        r.keep = nb::borrow(obj);
    } else if (type == &PyDict_Type) {
        set_mapping(r, TAG_MAP);
        dict_pairs(obj, r.pairs);
        sort_pairs(r.pairs);
    }
    else if (type == PyDateTimeAPI->DateTimeType)
        represent_datetime(obj, r);
    else if (type == PyDateTimeAPI->DateType) {
        char buf[16];
        set_ascii(r, TAG_TIMESTAMP, std::string_view(buf, (size_t) (format_date(buf, o) - buf)));
    } else if (type == &PyType_Type)
        set_text(r, TAG_STR, to_repr(obj));  // type_representer
    else if (type == &PySet_Type)
        represent_set(obj, r);
    else if (type == &PyBytes_Type) {
        nb::object base64 = s_.encodebytes(obj);
        set_text(r, TAG_BINARY, steal_checked(PyUnicode_FromEncodedObject(base64.ptr(), "ascii", nullptr)));
        r.literal = true;
    } else if (!plain_metaclass(Py_TYPE((PyObject *) type)))
        throw GiveUp();
    else if ((PyObject *) type == s_.result_counter.ptr())
        represent_counter(obj, r);
    else if ((PyObject *) type == s_.test_result.ptr())
        represent_result(obj, r);
    else if ((PyObject *) type == s_.attr_dict.ptr()) {
        set_mapping(r, TAG_MAP);
        items_pairs(obj, r.pairs);
        sort_pairs(r.pairs);
    } else if (is_node_class(type)) {
        // to_yaml: the node mapping rule, in _ARG_ORDER order
        set_mapping(r, TAG_MAP);
        for_each_node_pair(obj, [&](nb::handle name, nb::handle value) {
            r.pairs.emplace_back(nb::borrow(name), nb::borrow(value));
        });
    } else
        represent_unknown(obj, r);
}

// PyYAML finds a representer by type(x).__mro__[0] in a dict. A
// metaclass that keeps type's __mro__, mro, __eq__ and __hash__ makes that
// the exact type, as here.
bool Representer::plain_metaclass(PyTypeObject *meta) {
    if (meta == &PyType_Type)
        return true;
    for (const nb::object &known : metaclasses_)
        if (known.ptr() == (PyObject *) meta)
            return true;
    for (const char *name : {"__mro__", "mro", "__eq__", "__hash__"})
        if (class_attribute(meta, name) != class_attribute(&PyType_Type, name))
            return false;
    metaclasses_.push_back(nb::borrow((PyObject *) meta));
    return true;
}

bool Representer::is_node_class(PyTypeObject *type) const {
    for (const nb::object &cls : s_.nodes)
        if ((PyObject *) type == cls.ptr())
            return true;
    return false;
}

void Representer::represent_str(nb::handle obj, Rep &r) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(obj.ptr());
    Py_ssize_t newline = PyUnicode_FindChar(obj.ptr(), '\n', 0, n, 1);
    check(newline != -2);
    if (newline < 0) {
        set_text(r, TAG_STR, nb::borrow(obj));
        return;
    }
    r.literal = true;
    r.width = PyUnicode_KIND(obj.ptr());
    const void *data = PyUnicode_DATA(obj.ptr());
    visit_units(r.width, data, n, [&](auto chars, Py_ssize_t len) { strip_lines(chars, len, r.chars); });
    r.data = r.chars.data();
    r.len = (Py_ssize_t) (r.chars.size() / (size_t) r.width);
}

void Representer::represent_int(nb::handle obj, Rep &r) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(obj.ptr(), &overflow);
    if (overflow) {
        set_text(r, TAG_INT, to_str(obj));
        return;
    }
    char buf[24];
    char *end = format_int(buf, value);
    set_ascii(r, TAG_INT, std::string_view(buf, (size_t) (end - buf)));
}

// str(round(x, 2)): the shortest text that reads back, in repr's layout.
void Representer::represent_float(nb::handle obj, Rep &r) {
    double x = PyFloat_AS_DOUBLE(obj.ptr());
    if (std::isnan(x) || std::isinf(x)) {
        set_ascii(r, TAG_FLOAT, std::isnan(x) ? "nan" : x > 0 ? "inf" : "-inf");
        return;
    }
    char buf[32];
    char *end = format_float(buf, round_cents(x));
    set_ascii(r, TAG_FLOAT, std::string_view(buf, (size_t) (end - buf)));
}

// isoformat(' '). A tzinfo other than a fixed offset may do anything in
// utcoffset(), so Python formats those.
void Representer::represent_datetime(nb::handle obj, Rep &r) {
    PyObject *o = obj.ptr();
    PyObject *tzinfo = PyDateTime_DATE_GET_TZINFO(o);
    nb::object offset;
    if (tzinfo != Py_None) {
        if (Py_TYPE(tzinfo) != Py_TYPE(PyDateTimeAPI->TimeZone_UTC)) {
            set_text(r, TAG_TIMESTAMP, call_method(obj, N.isoformat, nb::str(" ")));
            return;
        }
        offset = call_method(tzinfo, N.utcoffset, obj);
    }
    char buf[64];
    char *p = format_datetime(buf, o);
    if (offset.is_valid() && PyDelta_Check(offset.ptr())) {
        p = format_utc_offset(p, offset.ptr());
        if (!p)
            throw GiveUp();  // a fixed offset is less than a day
    }
    set_ascii(r, TAG_TIMESTAMP, std::string_view(buf, (size_t) (p - buf)));
}

// SafeRepresenter.represent_set: the members as keys of nulls
void Representer::represent_set(nb::handle obj, Rep &r) {
    nb::object members = steal_checked(PyDict_New());
    for (nb::handle member : obj)
        set_item(members, member, nb::none());
    set_mapping(r, TAG_SET);
    dict_pairs(members, r.pairs);
    sort_pairs(r.pairs);
}

void Representer::represent_counter(nb::handle obj, Rep &r) {
    set_mapping(r, TAG_MAP);
    items_pairs(obj, r.pairs);
    r.pairs.emplace_back(nb::borrow(N.total), get_attr(obj, N.total));
    r.pairs.emplace_back(nb::borrow(N.success_rate), get_attr(obj, N.success_rate));
}

// A dict sorted by PyYAML: data, reason, value
void Representer::represent_result(nb::handle obj, Rep &r) {
    nb::object value = get_attr(obj, N.value);
    nb::object reason = get_attr(obj, N.reason);
    bool with_reason = truthy(reason);
    nb::object data = get_attr(obj, N.data);
    bool with_data = truthy(data);
    set_mapping(r, TAG_MAP);
    if (with_data)
        r.pairs.emplace_back(nb::borrow(N.data), data);
    if (with_reason)
        r.pairs.emplace_back(nb::borrow(N.reason), reason);
    r.pairs.emplace_back(nb::borrow(N.value), value);
}

// A dict sorted by PyYAML: repr, type
void Representer::represent_unknown(nb::handle obj, Rep &r) {
    nb::object text = to_repr(obj);
    set_mapping(r, TAG_MAP);
    r.pairs.emplace_back(nb::borrow(N.repr), text);
    r.pairs.emplace_back(nb::borrow(N.type), nb::borrow(type_of(obj)));
}


}  // namespace vexa::runsheaf::yaml
