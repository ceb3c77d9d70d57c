// Scratch harness for the fast YAML writer until runsheaf.cpp has the
// serialization; capture() takes a Python module laid out like runsheaf.
#include "common.hpp"

#include <datetime.h>

#include <algorithm>
#include <memory>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using namespace vexa;

static ModuleScope scope;

// Stand-in for runsheaf's node mapping rule.
nb::list node_pairs(nb::handle node) {
    static PyObject *arg_order = interned("_ARG_ORDER");
    static PyObject *value_ignore = interned("VALUE_IGNORE");
    nb::object ignore = scope[value_ignore];
    nb::list pairs;
    nb::object names = get_attr(node, arg_order);
    for (nb::handle name : names) {
        nb::object value = get_attr_or_none(node, name.ptr());
        if (contains(ignore, value))
            continue;
        pairs.append(nb::make_tuple(name, get_attr(node, name.ptr())));
    }
    return pairs;
}

// ---------------------------------------------------------------------------
// Fast YAML writer
//
// PyYAML's pure-Python emitter is most of dump_yaml's time on large trees.
// This writes the same text straight from the objects: it mirrors this
// module's representers, SafeDumper's own representers and implicit
// resolvers, and the parts of PyYAML's emitter that block style with default
// settings reaches, down to its column bookkeeping. It runs only while all of
// that is as the module set it up (checked on every call); otherwise, and for
// documents nested too deep for it, dump_yaml goes through yaml.dump.
// ---------------------------------------------------------------------------
namespace fast_yaml {

// Thrown when the document needs something only yaml.dump does.
struct Unsupported {};

// Tags in the order of their short forms below.
enum Tag : uint8_t { T_STR, T_INT, T_FLOAT, T_BOOL, T_NULL, T_TIMESTAMP, T_BINARY,
                     T_SEQ, T_MAP, T_SET, T_OTHER };

// The emitter writes tags through its '!!' handle; a key's tag counts towards
// the 128-character limit of simple keys even when it is not written.
constexpr std::string_view tag_text[] = {"!!str", "!!int", "!!float", "!!bool",
                                         "!!null", "!!timestamp", "!!binary",
                                         "!!seq", "!!map", "!!set", ""};

constexpr long best_width = 80;
constexpr int best_indent = 2;
// Deeper documents are left to yaml.dump, whose own recursion limit applies.
constexpr int max_depth = 1000;

inline bool is_break(Py_UCS4 c) { return c == '\n' || c == 0x85 || c == 0x2028 || c == 0x2029; }
// The emitter's "\0 \t\r\n\x85\u2028\u2029"
inline bool is_blank_or_break(Py_UCS4 c) {
    return c == 0 || c == ' ' || c == '\t' || c == '\r' || is_break(c);
}
inline bool is_digit(Py_UCS4 c) { return c >= '0' && c <= '9'; }
inline bool is_printable_ascii(Py_UCS4 c) { return c >= 0x20 && c <= 0x7E; }

// ---- implicit resolvers: which plain texts would read back as another type

template <class C>
bool equals(const C *s, Py_ssize_t n, std::string_view w) {
    if (n != (Py_ssize_t) w.size())
        return false;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (s[i] != (unsigned char) w[i])
            return false;
    return true;
}

template <class C>
Py_ssize_t skip_digits_underscores(const C *s, Py_ssize_t i, Py_ssize_t n) {
    while (i < n && (is_digit(s[i]) || s[i] == '_'))
        ++i;
    return i;
}

// (?:[eE][-+][0-9]+)? up to the end
template <class C>
bool exponent_to_end(const C *s, Py_ssize_t i, Py_ssize_t n) {
    if (i == n)
        return true;
    if ((s[i] != 'e' && s[i] != 'E') || i + 2 >= n || (s[i + 1] != '-' && s[i + 1] != '+'))
        return false;
    for (i += 2; i < n; ++i)
        if (!is_digit(s[i]))
            return false;
    return true;
}

// (?::[0-5]?[0-9])+ ; advances i past the groups
template <class C>
bool sexagesimal(const C *s, Py_ssize_t &i, Py_ssize_t n) {
    int groups = 0;
    while (i < n && s[i] == ':') {
        Py_ssize_t j = i + 1;
        while (j < n && is_digit(s[j]))
            ++j;
        Py_ssize_t run = j - i - 1;
        if (!(run == 1 || (run == 2 && s[i + 1] <= '5')))
            return false;
        i = j;
        ++groups;
    }
    return groups > 0;
}

template <class C>
bool inf_or_nan(const C *s, Py_ssize_t n, bool nan) {
    return nan ? equals(s, n, "nan") || equals(s, n, "NaN") || equals(s, n, "NAN")
               : equals(s, n, "inf") || equals(s, n, "Inf") || equals(s, n, "INF");
}

template <class C>
bool is_float(const C *s, Py_ssize_t n) {
    if (s[0] == '.') {
        if (n >= 2 && is_digit(s[1]))
            return exponent_to_end(s, skip_digits_underscores(s, 2, n), n);
        return inf_or_nan(s + 1, n - 1, false) || inf_or_nan(s + 1, n - 1, true);
    }
    Py_ssize_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i < n && s[i] == '.')
        return inf_or_nan(s + i + 1, n - i - 1, false);
    if (i >= n || !is_digit(s[i]))
        return false;
    i = skip_digits_underscores(s, i + 1, n);
    if (i < n && s[i] == '.')
        return exponent_to_end(s, skip_digits_underscores(s, i + 1, n), n);
    if (!sexagesimal(s, i, n) || i >= n || s[i] != '.')
        return false;
    return skip_digits_underscores(s, i + 1, n) == n;
}

template <class C>
bool all_of(const C *s, Py_ssize_t i, Py_ssize_t n, bool (*ok)(Py_UCS4)) {
    if (i >= n)
        return false;
    for (; i < n; ++i)
        if (!ok(s[i]))
            return false;
    return true;
}

template <class C>
bool is_int(const C *s, Py_ssize_t n) {
    Py_ssize_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i >= n)
        return false;
    if (s[i] == '0') {
        if (i + 1 == n)
            return true;
        if (s[i + 1] == 'b')
            return all_of(s, i + 2, n, [](Py_UCS4 c) { return c == '0' || c == '1' || c == '_'; });
        if (s[i + 1] == 'x')
            return all_of(s, i + 2, n, [](Py_UCS4 c) {
                return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '_';
            });
        return all_of(s, i + 1, n, [](Py_UCS4 c) { return (c >= '0' && c <= '7') || c == '_'; });
    }
    if (s[i] < '1' || s[i] > '9')
        return false;
    i = skip_digits_underscores(s, i + 1, n);
    if (i == n)
        return true;
    return sexagesimal(s, i, n) && i == n;
}

// A run of one or two digits; advances i.
template <class C>
bool one_or_two_digits(const C *s, Py_ssize_t &i, Py_ssize_t n) {
    Py_ssize_t j = i;
    while (j < n && is_digit(s[j]))
        ++j;
    if (j - i < 1 || j - i > 2)
        return false;
    i = j;
    return true;
}

template <class C>
bool two_digits(const C *s, Py_ssize_t &i, Py_ssize_t n) {
    if (i + 1 >= n || !is_digit(s[i]) || !is_digit(s[i + 1]))
        return false;
    i += 2;
    return true;
}

template <class C>
bool is_timestamp(const C *s, Py_ssize_t n) {
    if (n < 8 || !is_digit(s[1]) || !is_digit(s[2]) || !is_digit(s[3]) || s[4] != '-')
        return false;
    if (n == 10 && is_digit(s[5]) && is_digit(s[6]) && s[7] == '-' && is_digit(s[8]) &&
        is_digit(s[9]))
        return true;
    Py_ssize_t i = 5;
    if (!one_or_two_digits(s, i, n) || i >= n || s[i] != '-')
        return false;
    ++i;
    if (!one_or_two_digits(s, i, n) || i >= n)
        return false;
    if (s[i] == 'T' || s[i] == 't') {
        ++i;
    } else if (s[i] == ' ' || s[i] == '\t') {
        while (i < n && (s[i] == ' ' || s[i] == '\t'))
            ++i;
    } else {
        return false;
    }
    if (!one_or_two_digits(s, i, n) || i >= n || s[i] != ':')
        return false;
    ++i;
    if (!two_digits(s, i, n) || i >= n || s[i] != ':')
        return false;
    ++i;
    if (!two_digits(s, i, n))
        return false;
    if (i < n && s[i] == '.') {
        ++i;
        while (i < n && is_digit(s[i]))
            ++i;
    }
    if (i == n)
        return true;
    while (i < n && (s[i] == ' ' || s[i] == '\t'))
        ++i;
    if (i < n && s[i] == 'Z')
        return i + 1 == n;
    if (i >= n || (s[i] != '-' && s[i] != '+'))
        return false;
    ++i;
    if (!one_or_two_digits(s, i, n))
        return false;
    if (i == n)
        return true;
    if (s[i] != ':')
        return false;
    ++i;
    return two_digits(s, i, n) && i == n;
}

// The tag SafeDumper's implicit resolvers give a plain scalar; T_STR when
// none matches.
template <class C>
Tag resolve(const C *s, Py_ssize_t n) {
    if (n == 0)
        return T_NULL;
    switch (s[0]) {
    case 'y': case 'Y': case 'n': case 'N': case 't': case 'T':
    case 'f': case 'F': case 'o': case 'O':
        for (std::string_view w : {"yes", "Yes", "YES", "no", "No", "NO", "true", "True",
                                   "TRUE", "false", "False", "FALSE", "on", "On", "ON",
                                   "off", "Off", "OFF"})
            if (equals(s, n, w))
                return T_BOOL;
        if (equals(s, n, "null") || equals(s, n, "Null") || equals(s, n, "NULL"))
            return T_NULL;
        return T_STR;
    case '~':
        return n == 1 ? T_NULL : T_STR;
    case '.':
        return is_float(s, n) ? T_FLOAT : T_STR;
    case '-': case '+':
        return is_float(s, n) ? T_FLOAT : is_int(s, n) ? T_INT : T_STR;
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
        return is_float(s, n) ? T_FLOAT : is_int(s, n) ? T_INT
               : is_timestamp(s, n) ? T_TIMESTAMP : T_STR;
    case '<':
        return equals(s, n, "<<") ? T_OTHER : T_STR;
    case '=': case '!': case '&': case '*':
        return n == 1 ? T_OTHER : T_STR;
    default:
        return T_STR;
    }
}

// ---- scalar analysis, as the emitter's analyze_scalar with allow_unicode off

struct Analysis {
    bool empty = false;
    bool multiline = false;
    bool allow_plain = false;  // block plain; scalars never sit in flow context here
    bool allow_single = false;
    bool allow_block = false;
};

template <class C>
Analysis analyze(const C *s, Py_ssize_t n) {
    Analysis a;
    if (n == 0) {
        a.empty = a.allow_plain = a.allow_single = true;
        return a;
    }
    bool indicators = false, line_breaks = false, special = false;
    bool leading_space = false, leading_break = false;
    bool trailing_space = false, trailing_break = false;
    bool break_space = false, space_break = false;
    if (n >= 3 && ((s[0] == '-' && s[1] == '-' && s[2] == '-') ||
                   (s[0] == '.' && s[1] == '.' && s[2] == '.')))
        indicators = true;
    bool preceded_by_blank = true;
    bool followed_by_blank = n == 1 || is_blank_or_break(s[1]);
    bool previous_space = false, previous_break = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = s[i];
        if (i == 0) {
            if (c < 0x80 && c && std::strchr("#,[]{}&*!|>'\"%@`", (int) c))
                indicators = true;
            if ((c == '?' || c == ':' || c == '-') && followed_by_blank)
                indicators = true;
        } else {
            if (c == ':' && followed_by_blank)
                indicators = true;
            if (c == '#' && preceded_by_blank)
                indicators = true;
        }
        if (is_break(c))
            line_breaks = true;
        if (c != '\n' && !is_printable_ascii(c))
            special = true;
        if (c == ' ') {
            if (i == 0)
                leading_space = true;
            if (i == n - 1)
                trailing_space = true;
            if (previous_break)
                break_space = true;
            previous_space = true;
            previous_break = false;
        } else if (is_break(c)) {
            if (i == 0)
                leading_break = true;
            if (i == n - 1)
                trailing_break = true;
            if (previous_space)
                space_break = true;
            previous_space = false;
            previous_break = true;
        } else {
            previous_space = previous_break = false;
        }
        preceded_by_blank = is_blank_or_break(c);
        followed_by_blank = i + 2 >= n || is_blank_or_break(s[i + 2]);
    }
    a.multiline = line_breaks;
    a.allow_plain = a.allow_single = a.allow_block = true;
    if (leading_space || leading_break || trailing_space || trailing_break)
        a.allow_plain = false;
    if (trailing_space)
        a.allow_block = false;
    if (break_space)
        a.allow_plain = a.allow_single = false;
    if (space_break || special)
        a.allow_plain = a.allow_single = a.allow_block = false;
    if (line_breaks || indicators)
        a.allow_plain = false;
    return a;
}

// ---- what the module's yaml, YAMLDumper and representers were at import

struct Snapshot {
    nb::object yaml, dumper, dump, dump_all, mro;
    std::vector<std::pair<nb::object, nb::object>> class_dicts;  // class, copy of its dict
    nb::object representers, representers_copy;
    nb::object multi_representers, path_resolvers;
    nb::object implicit_resolvers, implicit_resolvers_copy;
    nb::object escapes, escapes_copy, prefixes, prefixes_copy;
    std::vector<std::pair<PyObject *, nb::object>> constants;  // name, value
    nb::object result_counter, test_result, attr_dict;
    nb::object nodes[4];
    nb::object encodebytes;
};

Snapshot *snapshot = nullptr;

PyObject *str_of(const char *text) { return interned(text); }

nb::object class_dict(nb::handle cls) {
#if PY_VERSION_HEX >= 0x030C0000
    return steal_checked(PyType_GetDict((PyTypeObject *) cls.ptr()));
#else
    return nb::borrow(((PyTypeObject *) cls.ptr())->tp_dict);
#endif
}

nb::object dict_copy(nb::handle d) { return steal_checked(PyDict_Copy(d.ptr())); }

// Same keys, bound to the very same objects.
bool same_items(nb::handle live, nb::handle copy) {
    if (!PyDict_CheckExact(live.ptr()) || PyDict_GET_SIZE(live.ptr()) != PyDict_GET_SIZE(copy.ptr()))
        return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(copy.ptr(), &pos, &key, &value)) {
        PyObject *now = PyDict_GetItemWithError(live.ptr(), key);
        if (now != value) {
            check(!PyErr_Occurred());
            return false;
        }
    }
    return true;
}

// First characters mapped to tuples of their (tag, regexp) lists.
nb::object freeze_resolvers(nb::handle live) {
    nb::object copy = steal_checked(PyDict_New());
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(live.ptr(), &pos, &key, &value)) {
        if (!PyList_CheckExact(value))
            return nb::object();
        set_item(copy, key, steal_checked(PyList_AsTuple(value)));
    }
    return copy;
}

bool same_resolvers(nb::handle live, nb::handle copy) {
    if (!PyDict_CheckExact(live.ptr()) || PyDict_GET_SIZE(live.ptr()) != PyDict_GET_SIZE(copy.ptr()))
        return false;
    Py_ssize_t pos = 0;
    PyObject *key, *frozen;
    while (PyDict_Next(copy.ptr(), &pos, &key, &frozen)) {
        PyObject *list = PyDict_GetItemWithError(live.ptr(), key);
        if (!list || !PyList_CheckExact(list) || PyList_GET_SIZE(list) != PyTuple_GET_SIZE(frozen)) {
            check(!PyErr_Occurred());
            return false;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(frozen); ++i)
            if (PyList_GET_ITEM(list, i) != PyTuple_GET_ITEM(frozen, i))
                return false;
    }
    return true;
}

// Regexp source without the blanks that re.VERBOSE ignores.
std::string squeezed(nb::handle pattern) {
    std::string out;
    Py_ssize_t n = PyUnicode_GET_LENGTH(pattern.ptr());
    int kind = PyUnicode_KIND(pattern.ptr());
    const void *data = PyUnicode_DATA(pattern.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (Py_UNICODE_ISSPACE(c))
            continue;
        if (c >= 0x80)
            return {};
        out += (char) c;
    }
    return out;
}

// SafeDumper's implicit resolvers as PyYAML 6.0 registers them: the writer's
// own matchers stand in for these patterns.
bool pristine_resolvers(nb::handle table) {
    struct Expected { const char *tag, *pattern; };
    static const Expected patterns[] = {
        {"bool", "^(?:yes|Yes|YES|no|No|NO|true|True|TRUE|false|False|FALSE|on|On|ON|off|Off|OFF)$"},
        {"null", "^(?:~|null|Null|NULL|)$"},
        {"float", "^(?:[-+]?(?:[0-9][0-9_]*)\\.[0-9_]*(?:[eE][-+][0-9]+)?|\\.[0-9][0-9_]*(?:[eE][-+]"
                  "[0-9]+)?|[-+]?[0-9][0-9_]*(?::[0-5]?[0-9])+\\.[0-9_]*|[-+]?\\.(?:inf|Inf|INF)|"
                  "\\.(?:nan|NaN|NAN))$"},
        {"int", "^(?:[-+]?0b[0-1_]+|[-+]?0[0-7_]+|[-+]?(?:0|[1-9][0-9_]*)|[-+]?0x[0-9a-fA-F_]+|"
                "[-+]?[1-9][0-9_]*(?::[0-5]?[0-9])+)$"},
        {"timestamp", "^(?:[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]|[0-9][0-9][0-9][0-9]-[0-9]"
                      "[0-9]?-[0-9][0-9]?(?:[Tt]|[\\t]+)[0-9][0-9]?:[0-9][0-9]:[0-9][0-9](?:\\."
                      "[0-9]*)?(?:[\\t]*(?:Z|[-+][0-9][0-9]?(?::[0-9][0-9])?))?)$"},
        {"merge", "^(?:<<)$"},
        {"value", "^(?:=)$"},
        {"yaml", "^(?:!|&|\\*)$"},
    };
    struct First { const char *chars, *tags; };
    static const First firsts[] = {
        {"yYtTfFoO", "bool"}, {"nN", "bool null"}, {"~", "null"}, {"+-", "float int"},
        {".", "float"}, {"0123456789", "float int timestamp"}, {"<", "merge"}, {"=", "value"},
        {"!&*", "yaml"},
    };
    auto expected_tags = [&](PyObject *key) -> std::string {
        Py_ssize_t n = PyUnicode_GET_LENGTH(key);
        if (n == 0)
            return "null";
        if (n != 1)
            return "?";
        Py_UCS4 c = PyUnicode_READ_CHAR(key, 0);
        for (const First &f : firsts)
            if (c < 0x80 && std::strchr(f.chars, (int) c))
                return f.tags;
        return "?";
    };
    if (!PyDict_CheckExact(table.ptr()) || PyDict_GET_SIZE(table.ptr()) != 30)
        return false;
    Py_ssize_t pos = 0;
    PyObject *key, *list;
    while (PyDict_Next(table.ptr(), &pos, &key, &list)) {
        if (!PyUnicode_CheckExact(key) || !PyList_CheckExact(list))
            return false;
        std::string tags;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            PyObject *entry = PyList_GET_ITEM(list, i);
            if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2)
                return false;
            nb::handle tag = PyTuple_GET_ITEM(entry, 0);
            nb::handle regexp = PyTuple_GET_ITEM(entry, 1);
            if (!PyUnicode_CheckExact(tag.ptr()))
                return false;
            std::string name = PyUnicode_AsUTF8(tag.ptr());
            if (name.rfind("tag:yaml.org,2002:", 0) != 0)
                return false;
            name.erase(0, 18);
            nb::object pattern = get_attr(regexp, str_of("pattern"));
            if (!PyUnicode_Check(pattern.ptr()))
                return false;
            std::string text = squeezed(pattern);
            bool known = false;
            for (const Expected &e : patterns)
                known |= name == e.tag && text == e.pattern;
            if (!known)
                return false;
            tags += (tags.empty() ? "" : " ") + name;
        }
        if (tags != expected_tags(key))
            return false;
    }
    return true;
}

// Functions of PyYAML's classes still come from PyYAML (nothing patched in
// before the module was imported).
bool from_yaml(nb::handle cls) {
    nb::object dict = class_dict(cls);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict.ptr(), &pos, &key, &value)) {
        nb::object fn = nb::borrow(value);
        if (PyObject_TypeCheck(value, &PyClassMethod_Type) ||
            PyObject_TypeCheck(value, &PyStaticMethod_Type))
            fn = get_attr(value, str_of("__func__"));
        if (!PyFunction_Check(fn.ptr()))
            continue;
        PyObject *module = PyFunction_GetModule(fn.ptr());
        if (!module || !PyUnicode_Check(module) ||
            PyUnicode_Tailmatch(module, nb::str("yaml.").ptr(), 0, 5, -1) != 1)
            return false;
    }
    return true;
}

// Take the snapshot when YAMLDumper, its table and the module's constants are
// exactly what this writer mirrors; otherwise leave dump_yaml to yaml.dump.
void capture_checked(nb::handle module) {
    auto global = [&](const char *name) { return scope[str_of(name)]; };
    auto s = std::make_unique<Snapshot>();
    s->yaml = global("yaml");
    s->dumper = global("YAMLDumper");
    nb::object version = get_attr(s->yaml, str_of("__version__"));
    if (!PyUnicode_Check(version.ptr()) ||
        PyUnicode_Tailmatch(version.ptr(), nb::str("6.0.").ptr(), 0, 4, -1) != 1)
        return;
    s->dump = get_attr(s->yaml, str_of("dump"));
    s->dump_all = get_attr(s->yaml, str_of("dump_all"));
    if (Py_TYPE(s->dumper.ptr()) != &PyType_Type)
        return;

    // YAMLDumper, then SafeDumper's own line of classes
    s->mro = get_attr(s->dumper, str_of("__mro__"));
    nb::object yaml_mods[] = {nb::module_::import_("yaml.dumper"), nb::module_::import_("yaml.emitter"),
                              nb::module_::import_("yaml.serializer"),
                              nb::module_::import_("yaml.representer"),
                              nb::module_::import_("yaml.resolver")};
    nb::object safe_line[] = {
        yaml_mods[0].attr("SafeDumper"),        yaml_mods[1].attr("Emitter"),
        yaml_mods[2].attr("Serializer"),        yaml_mods[3].attr("SafeRepresenter"),
        yaml_mods[3].attr("BaseRepresenter"),   yaml_mods[4].attr("Resolver"),
        yaml_mods[4].attr("BaseResolver")};
    if (!PyTuple_CheckExact(s->mro.ptr()) || PyTuple_GET_SIZE(s->mro.ptr()) != 9 ||
        PyTuple_GET_ITEM(s->mro.ptr(), 0) != s->dumper.ptr() ||
        PyTuple_GET_ITEM(s->mro.ptr(), 8) != (PyObject *) &PyBaseObject_Type)
        return;
    for (int i = 0; i < 7; ++i)
        if (PyTuple_GET_ITEM(s->mro.ptr(), i + 1) != safe_line[i].ptr() || !from_yaml(safe_line[i]))
            return;
    for (int i = 0; i < 8; ++i) {
        nb::handle cls = PyTuple_GET_ITEM(s->mro.ptr(), i);
        s->class_dicts.emplace_back(nb::borrow(cls), dict_copy(class_dict(cls)));
    }

    // YAMLDumper itself adds only its two overrides and its table.
    nb::object own = class_dict(s->dumper);
    {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(own.ptr(), &pos, &key, &value)) {
            if (!PyUnicode_Check(key))
                return;
            std::string_view name = PyUnicode_AsUTF8(key);
            bool dunder = name.size() > 4 && name.substr(0, 2) == "__" &&
                          name.substr(name.size() - 2) == "__";
            if (!dunder && name != "increase_indent" && name != "ignore_aliases" &&
                name != "yaml_representers")
                return;
        }
    }

    // The representer table: SafeDumper's, with this module's registrations.
    nb::handle safe_rep = safe_line[3];
    s->representers = get_attr(s->dumper, str_of("yaml_representers"));
    if (!PyDict_CheckExact(s->representers.ptr()) ||
        PyDict_GetItemWithError(own.ptr(), str_of("yaml_representers")) != s->representers.ptr())
        return;
    nb::object datetime_mod = nb::module_::import_("datetime");
    nb::handle builtins[] = {(PyObject *) Py_TYPE(Py_None), (PyObject *) &PyBytes_Type,
                             (PyObject *) &PyBool_Type, (PyObject *) &PyLong_Type,
                             (PyObject *) &PyList_Type, (PyObject *) &PyTuple_Type,
                             (PyObject *) &PyDict_Type, (PyObject *) &PySet_Type};
    const char *safe_names[] = {"represent_bool", "represent_int", "represent_list",
                                "represent_list", "represent_dict", "represent_set"};
    nb::object expected = steal_checked(PyDict_New());
    set_item(expected, builtins[0], get_attr(safe_rep, str_of("represent_none")));
    set_item(expected, builtins[1], get_attr(safe_rep, str_of("represent_binary")));
    for (int i = 2; i < 8; ++i)
        set_item(expected, builtins[i], get_attr(safe_rep, str_of(safe_names[i - 2])));
    set_item(expected, datetime_mod.attr("date"), get_attr(safe_rep, str_of("represent_date")));
    set_item(expected, datetime_mod.attr("datetime"),
             get_attr(safe_rep, str_of("represent_datetime")));
    set_item(expected, nb::handle((PyObject *) &PyUnicode_Type), global("str_representer"));
    set_item(expected, nb::handle((PyObject *) &PyFloat_Type), global("float_representer"));
    set_item(expected, nb::handle((PyObject *) &PyType_Type), global("type_representer"));
    set_item(expected, nb::none(), global("unknown_representer"));
    s->result_counter = global("ResultCounter");
    s->test_result = global("TestResult");
    s->attr_dict = global("AttrDict");
    set_item(expected, s->result_counter, global("ResultCounter_representer"));
    set_item(expected, s->test_result, global("TestResult_representer"));
    set_item(expected, s->attr_dict, global("AttrDict_representer"));
    const char *node_names[] = {"Runsheaf", "Task", "Section", "Plugin"};
    for (int i = 0; i < 4; ++i) {
        s->nodes[i] = global(node_names[i]);
        set_item(expected, s->nodes[i], get_attr(s->nodes[i], str_of("to_yaml")));
    }
    if (PyDict_GET_SIZE(expected.ptr()) != PyDict_GET_SIZE(s->representers.ptr()))
        return;
    {
        Py_ssize_t pos = 0;
        PyObject *key, *want;
        while (PyDict_Next(expected.ptr(), &pos, &key, &want)) {
            PyObject *have = PyDict_GetItemWithError(s->representers.ptr(), key);
            // bound to_yaml methods compare equal, not identical
            if (!have || (have != want && !equal(have, want))) {
                check(!PyErr_Occurred());
                return;
            }
        }
    }
    s->representers_copy = dict_copy(s->representers);

    s->multi_representers = get_attr(s->dumper, str_of("yaml_multi_representers"));
    s->path_resolvers = get_attr(s->dumper, str_of("yaml_path_resolvers"));
    if (!PyDict_CheckExact(s->multi_representers.ptr()) || PyDict_GET_SIZE(s->multi_representers.ptr()) ||
        !PyDict_CheckExact(s->path_resolvers.ptr()) || PyDict_GET_SIZE(s->path_resolvers.ptr()))
        return;
    s->implicit_resolvers = get_attr(s->dumper, str_of("yaml_implicit_resolvers"));
    if (!pristine_resolvers(s->implicit_resolvers))
        return;
    s->implicit_resolvers_copy = freeze_resolvers(s->implicit_resolvers);

    s->escapes = get_attr(s->dumper, str_of("ESCAPE_REPLACEMENTS"));
    s->prefixes = get_attr(s->dumper, str_of("DEFAULT_TAG_PREFIXES"));
    if (!PyDict_CheckExact(s->escapes.ptr()) || !PyDict_CheckExact(s->prefixes.ptr()))
        return;
    nb::dict escapes, prefixes;
    const std::pair<Py_UCS4, char> escape_letters[] = {
        {0, '0'}, {7, 'a'}, {8, 'b'}, {9, 't'}, {10, 'n'}, {11, 'v'}, {12, 'f'}, {13, 'r'},
        {27, 'e'}, {'"', '"'}, {'\\', '\\'}, {0x85, 'N'}, {0xA0, '_'}, {0x2028, 'L'}, {0x2029, 'P'}};
    for (auto [c, letter] : escape_letters)
        escapes[steal_checked(PyUnicode_FromOrdinal((int) c))] = nb::str(&letter, 1);
    prefixes["!"] = "!";
    prefixes["tag:yaml.org,2002:"] = "!!";
    if (!equal(s->escapes, escapes) || !equal(s->prefixes, prefixes))
        return;
    s->escapes_copy = dict_copy(s->escapes);
    s->prefixes_copy = dict_copy(s->prefixes);

    // Constants the representers read when they run
    const std::pair<const char *, const char *> tags[] = {{"YAML_MAP", "tag:yaml.org,2002:map"},
                                                          {"YAML_STR", "tag:yaml.org,2002:str"},
                                                          {"YAML_FLT", "tag:yaml.org,2002:float"}};
    for (auto [name, value] : tags) {
        nb::object bound = global(name);
        if (!PyUnicode_CheckExact(bound.ptr()) || !equal(bound, nb::str(value)))
            return;
        s->constants.emplace_back(str_of(name), bound);
    }
    nb::object precision = global("FLOAT_PRECISION");
    if (!PyLong_CheckExact(precision.ptr()) || PyLong_AsLong(precision.ptr()) != 2)
        return;
    s->constants.emplace_back(str_of("FLOAT_PRECISION"), precision);

    s->encodebytes = nb::module_::import_("base64").attr("encodebytes");
    (void) module;
    snapshot = s.release();
}

void capture(nb::handle module) {
    PyDateTime_IMPORT;
    check(PyDateTimeAPI != nullptr);
    capture_checked(module);
    // The snapshot holds the module's functions; let it go before the
    // interpreter tears the module down.
    if (snapshot)
        nb::module_::import_("atexit").attr("register")(nb::cpp_function([] {
            delete snapshot;
            snapshot = nullptr;
        }));
}

// Whether yaml.dump would still write what this writer writes.
bool applies() {
    Snapshot *s = snapshot;
    if (!s || scope[str_of("yaml")].ptr() != s->yaml.ptr() ||
        scope[str_of("YAMLDumper")].ptr() != s->dumper.ptr())
        return false;
    for (auto &[name, value] : s->constants)
        if (scope[name].ptr() != value.ptr())
            return false;
    if (get_attr(s->yaml, str_of("dump")).ptr() != s->dump.ptr() ||
        get_attr(s->yaml, str_of("dump_all")).ptr() != s->dump_all.ptr() ||
        get_attr(s->dumper, str_of("__mro__")).ptr() != s->mro.ptr())
        return false;
    for (auto &[cls, copy] : s->class_dicts)
        if (!same_items(class_dict(cls), copy))
            return false;
    return same_items(s->representers, s->representers_copy) &&
           PyDict_GET_SIZE(s->multi_representers.ptr()) == 0 &&
           PyDict_GET_SIZE(s->path_resolvers.ptr()) == 0 &&
           same_resolvers(s->implicit_resolvers, s->implicit_resolvers_copy) &&
           equal(s->escapes, s->escapes_copy) && equal(s->prefixes, s->prefixes_copy);
}

// ---- representation: one object as PyYAML's representers would see it

struct Rep {
    enum Kind : uint8_t { SCALAR, SEQ, MAP } kind = SCALAR;
    Tag tag = T_STR;
    char hint = 0;           // '|': str_representer's literal block request
    int width = 1;           // PEP 393 kind of the text
    const void *data = nullptr;
    Py_ssize_t len = 0;      // characters of a scalar, items of a collection
    nb::object keep;         // the text's owner, the sequence, or the list of pairs
    std::string chars;       // text built here
};

enum Style : uint8_t { PLAIN, SINGLE, DOUBLE, LITERAL };
enum Ctx : uint8_t { ROOT = 1, IN_SEQ = 2, IN_MAP = 4, SIMPLE_KEY = 8 };

template <class F>
decltype(auto) with_chars(const Rep &r, F &&f) {
    switch (r.width) {
    case PyUnicode_1BYTE_KIND: return f((const Py_UCS1 *) r.data);
    case PyUnicode_2BYTE_KIND: return f((const Py_UCS2 *) r.data);
    default: return f((const Py_UCS4 *) r.data);
    }
}

// str.split("\n"), rstrip() of every line, "\n".join(): str_representer's
// clean-up of multi-line text.
template <class C>
void strip_lines(const C *s, Py_ssize_t n, std::string &out) {
    out.reserve((size_t) n * sizeof(C));
    const C newline = '\n';
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

inline int compare_str(PyObject *a, PyObject *b) {
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
    return la < lb ? -1 : la > lb ? 1 : 0;
}

// sorted(pairs) as represent_mapping does it, keeping the given order when
// the keys cannot be ordered (TypeError).
nb::object sorted_pairs(nb::object pairs) {
    Py_ssize_t n = PyList_GET_SIZE(pairs.ptr());
    PyObject **items = PySequence_Fast_ITEMS(pairs.ptr());
    bool str_keys = true;
    for (Py_ssize_t i = 0; i < n && str_keys; ++i)
        str_keys = PyTuple_CheckExact(items[i]) && PyTuple_GET_SIZE(items[i]) == 2 &&
                   PyUnicode_CheckExact(PyTuple_GET_ITEM(items[i], 0));
    if (str_keys) {
        // distinct str keys: tuple order is key order
        std::sort(items, items + n, [](PyObject *a, PyObject *b) {
            return compare_str(PyTuple_GET_ITEM(a, 0), PyTuple_GET_ITEM(b, 0)) < 0;
        });
        return pairs;
    }
    nb::object copy = steal_checked(PyList_GetSlice(pairs.ptr(), 0, n));
    if (PyList_Sort(copy.ptr()) == 0)
        return copy;
    if (!PyErr_ExceptionMatches(PyExc_TypeError))
        throw nb::python_error();
    PyErr_Clear();
    return pairs;
}

class Writer {
public:
    explicit Writer(Snapshot &s) : s_(s) {}

    nb::object document(nb::handle root) {
        node(root, ROOT);
        write_indent();  // document end
        if (open_ended_) {
            indicator("...", true);
            write_indent();
        }
        return steal_checked(PyUnicode_DecodeASCII(out_.data(), (Py_ssize_t) out_.size(), nullptr));
    }

private:
    Snapshot &s_;
    std::string out_;
    int indent_ = -1;  // -1 is the emitter's None
    long column_ = 0;
    bool whitespace_ = true, indention_ = true, open_ended_ = false;
    int depth_ = 0;

    struct Level {
        Writer &w;
        explicit Level(Writer &w) : w(w) {
            if (w.depth_ >= max_depth)
                throw Unsupported();
            if (Py_EnterRecursiveCall(" while writing YAML"))
                throw nb::python_error();
            ++w.depth_;
        }
        ~Level() {
            --w.depth_;
            Py_LeaveRecursiveCall();
        }
        Level(const Level &) = delete;
        Level &operator=(const Level &) = delete;
    };

    // ---- output primitives, as the emitter's write_* methods

    void raw(std::string_view text) {
        out_.append(text);
        column_ += (long) text.size();
    }

    template <class C>
    void raw(const C *s, Py_ssize_t n, bool count = true) {
        if constexpr (sizeof(C) == 1) {
            out_.append((const char *) s, (size_t) n);
        } else {
            for (Py_ssize_t i = 0; i < n; ++i)
                out_ += (char) s[i];  // only printable ASCII gets here
        }
        if (count)
            column_ += (long) n;
    }

    void indicator(std::string_view text, bool need_whitespace, bool whitespace = false,
                   bool indention = false) {
        if (!whitespace_ && need_whitespace) {
            out_ += ' ';
            ++column_;
        }
        raw(text);
        whitespace_ = whitespace;
        indention_ = indention_ && indention;
        open_ended_ = false;
    }

    void line_break() {
        out_ += '\n';
        whitespace_ = indention_ = true;
        column_ = 0;
    }

    void write_indent() {
        long indent = indent_ < 0 ? 0 : indent_;
        if (!indention_ || column_ > indent || (column_ == indent && !whitespace_))
            line_break();
        if (column_ < indent) {
            whitespace_ = true;
            out_.append((size_t) (indent - column_), ' ');
            column_ = indent;
        }
    }

    // ---- representation

    void set_text(Rep &r, nb::object str) {
        r.keep = std::move(str);
        r.width = PyUnicode_KIND(r.keep.ptr());
        r.data = PyUnicode_DATA(r.keep.ptr());
        r.len = PyUnicode_GET_LENGTH(r.keep.ptr());
    }

    void set_ascii(Rep &r, Tag tag, std::string_view text) {
        r.tag = tag;
        r.chars.assign(text);
        r.width = PyUnicode_1BYTE_KIND;
        r.data = r.chars.data();
        r.len = (Py_ssize_t) r.chars.size();
    }

    void set_pairs(Rep &r, Tag tag, nb::object pairs) {
        r.kind = Rep::MAP;
        r.tag = tag;
        r.len = PyList_GET_SIZE(pairs.ptr());
        r.keep = std::move(pairs);
    }

    static nb::object pair(PyObject *key, nb::handle value) {
        return steal_checked(PyTuple_Pack(2, key, value.ptr()));
    }

    void represent(nb::handle obj, Rep &r) {
        PyTypeObject *type = Py_TYPE(obj.ptr());
        if (type == &PyUnicode_Type)
            represent_str(obj, r);
        else if (type == &PyLong_Type)
            represent_int(obj, r);
        else if (type == &PyFloat_Type)
            represent_float(obj, r);
        else if (type == &PyBool_Type)
            set_ascii(r, T_BOOL, obj.ptr() == Py_True ? "true" : "false");
        else if (obj.is_none())
            set_ascii(r, T_NULL, "null");
        else if (type == &PyList_Type || type == &PyTuple_Type) {
            r.kind = Rep::SEQ;
            r.tag = T_SEQ;
            r.keep = nb::borrow(obj);
            r.len = PySequence_Fast_GET_SIZE(obj.ptr());
        } else if (type == &PyDict_Type)
            set_pairs(r, T_MAP, sorted_pairs(steal_checked(PyDict_Items(obj.ptr()))));
        else if (type == PyDateTimeAPI->DateTimeType)
            represent_datetime(obj, r);
        else if (type == PyDateTimeAPI->DateType) {
            char buf[16];
            int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", PyDateTime_GET_YEAR(obj.ptr()),
                                  PyDateTime_GET_MONTH(obj.ptr()), PyDateTime_GET_DAY(obj.ptr()));
            set_ascii(r, T_TIMESTAMP, std::string_view(buf, (size_t) n));
        } else if (type == &PyType_Type)
            set_text(r, steal_checked(PyObject_Repr(obj.ptr())));  // type_representer
        else if (type == &PySet_Type)
            represent_set(obj, r);
        else if (type == &PyBytes_Type) {
            nb::object text = s_.encodebytes(obj);
            set_text(r, steal_checked(PyUnicode_FromEncodedObject(text.ptr(), "ascii", nullptr)));
            r.tag = T_BINARY;
            r.hint = '|';
        } else if ((PyObject *) type == s_.result_counter.ptr())
            represent_counter(obj, r);
        else if ((PyObject *) type == s_.test_result.ptr())
            represent_result(obj, r);
        else if ((PyObject *) type == s_.attr_dict.ptr())
            set_pairs(r, T_MAP, sorted_pairs(steal_checked(
                PySequence_List(call_method(obj, str_of("items")).ptr()))));
        else if (is_node_class(type))
            set_pairs(r, T_MAP, node_pairs(obj));
        else
            represent_unknown(obj, r);
    }

    bool is_node_class(PyTypeObject *type) const {
        for (const nb::object &cls : s_.nodes)
            if ((PyObject *) type == cls.ptr())
                return true;
        return false;
    }

    void represent_str(nb::handle obj, Rep &r) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(obj.ptr());
        Py_ssize_t at = PyUnicode_FindChar(obj.ptr(), '\n', 0, n, 1);
        check(at != -2);
        if (at < 0) {
            set_text(r, nb::borrow(obj));
            return;
        }
        r.hint = '|';
        r.width = PyUnicode_KIND(obj.ptr());
        const void *data = PyUnicode_DATA(obj.ptr());
        switch (r.width) {
        case PyUnicode_1BYTE_KIND: strip_lines((const Py_UCS1 *) data, n, r.chars); break;
        case PyUnicode_2BYTE_KIND: strip_lines((const Py_UCS2 *) data, n, r.chars); break;
        default: strip_lines((const Py_UCS4 *) data, n, r.chars); break;
        }
        r.data = r.chars.data();
        r.len = (Py_ssize_t) (r.chars.size() / (size_t) r.width);
    }

    void represent_int(nb::handle obj, Rep &r) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(obj.ptr(), &overflow);
        if (overflow) {
            set_text(r, steal_checked(PyObject_Str(obj.ptr())));
            r.tag = T_INT;
            return;
        }
        check(!(value == -1 && PyErr_Occurred()));
        char buf[24];
        auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
        set_ascii(r, T_INT, std::string_view(buf, (size_t) (end - buf)));
    }

    // float_representer: str(round(x, 2)); round() goes through the same
    // correctly rounded two-decimal string as this.
    void represent_float(nb::handle obj, Rep &r) {
        double x = PyFloat_AS_DOUBLE(obj.ptr());
        if (std::isnan(x)) {
            set_ascii(r, T_FLOAT, "nan");
            return;
        }
        if (std::isinf(x)) {
            set_ascii(r, T_FLOAT, x > 0 ? "inf" : "-inf");
            return;
        }
        char *fixed = PyOS_double_to_string(x, 'f', 2, 0, nullptr);
        check(fixed != nullptr);
        double rounded = PyOS_string_to_double(fixed, nullptr, nullptr);
        PyMem_Free(fixed);
        check(!(rounded == -1.0 && PyErr_Occurred()));
        char *text = PyOS_double_to_string(rounded, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        check(text != nullptr);
        set_ascii(r, T_FLOAT, text);
        PyMem_Free(text);
    }

    void represent_datetime(nb::handle obj, Rep &r) {
        PyObject *o = obj.ptr();
        if (PyDateTime_DATE_GET_TZINFO(o) != Py_None) {
            set_text(r, steal_checked(PyObject_CallMethod(o, "isoformat", "s", " ")));
            r.tag = T_TIMESTAMP;
            return;
        }
        char buf[40];
        int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d",
                              PyDateTime_GET_YEAR(o), PyDateTime_GET_MONTH(o), PyDateTime_GET_DAY(o),
                              PyDateTime_DATE_GET_HOUR(o), PyDateTime_DATE_GET_MINUTE(o),
                              PyDateTime_DATE_GET_SECOND(o));
        if (int us = PyDateTime_DATE_GET_MICROSECOND(o))
            n += std::snprintf(buf + n, sizeof buf - (size_t) n, ".%06d", us);
        set_ascii(r, T_TIMESTAMP, std::string_view(buf, (size_t) n));
    }

    // SafeRepresenter.represent_set: the members as keys of null values
    void represent_set(nb::handle obj, Rep &r) {
        nb::object members = steal_checked(PyDict_New());
        for (nb::handle member : obj)
            set_item(members, member, nb::none());
        set_pairs(r, T_SET, sorted_pairs(steal_checked(PyDict_Items(members.ptr()))));
    }

    // ResultCounter_representer: the counts in the counter's order, then
    // total and success_rate
    void represent_counter(nb::handle obj, Rep &r) {
        nb::object pairs = steal_checked(PySequence_List(call_method(obj, str_of("items")).ptr()));
        check(PyList_Append(pairs.ptr(), pair(str_of("total"), get_attr(obj, str_of("total"))).ptr()) == 0);
        check(PyList_Append(pairs.ptr(),
                            pair(str_of("success_rate"), get_attr(obj, str_of("success_rate"))).ptr()) == 0);
        set_pairs(r, T_MAP, std::move(pairs));
    }

    // TestResult_representer: a sorted dict of value and the truthy reason
    // and data, so data, reason, value
    void represent_result(nb::handle obj, Rep &r) {
        nb::object value = get_attr(obj, str_of("value"));
        nb::object reason = get_attr(obj, str_of("reason"));
        bool with_reason = truthy(reason);
        nb::object data = get_attr(obj, str_of("data"));
        bool with_data = truthy(data);
        nb::object pairs = steal_checked(PyList_New(0));
        if (with_data)
            check(PyList_Append(pairs.ptr(), pair(str_of("data"), data).ptr()) == 0);
        if (with_reason)
            check(PyList_Append(pairs.ptr(), pair(str_of("reason"), reason).ptr()) == 0);
        check(PyList_Append(pairs.ptr(), pair(str_of("value"), value).ptr()) == 0);
        set_pairs(r, T_MAP, std::move(pairs));
    }

    // unknown_representer: {"type": type(x), "repr": repr(x)}, sorted
    void represent_unknown(nb::handle obj, Rep &r) {
        nb::object text = steal_checked(PyObject_Repr(obj.ptr()));
        nb::object pairs = steal_checked(PyList_New(2));
        PyList_SET_ITEM(pairs.ptr(), 0, pair(str_of("repr"), text).release().ptr());
        PyList_SET_ITEM(pairs.ptr(), 1,
                        pair(str_of("type"), nb::handle((PyObject *) Py_TYPE(obj.ptr()))).release().ptr());
        set_pairs(r, T_MAP, std::move(pairs));
    }

    // ---- emission, following the emitter's states for block style

    void node(nb::handle obj, int ctx) {
        Level level(*this);
        Rep r;
        represent(obj, r);
        if (r.kind == Rep::SCALAR)
            scalar(r, ctx, analysis(r));
        else
            collection(r);
    }

    static Analysis analysis(const Rep &r) {
        return with_chars(r, [&](auto s) { return analyze(s, r.len); });
    }

    // check_simple_key
    static bool simple_key(const Rep &r, const Analysis &a) {
        Py_ssize_t length = (Py_ssize_t) tag_text[r.tag].size();
        if (r.kind == Rep::SCALAR)
            return length + r.len < 128 && !a.empty && !a.multiline;
        return length < 128 && r.len == 0;
    }

    void collection(Rep &r) {
        if (r.tag == T_SET)
            indicator(tag_text[T_SET], true);
        bool seq = r.kind == Rep::SEQ;
        if (r.len == 0) {
            // empty collections are written in flow style
            indicator(seq ? "[" : "{", true, true);
            indicator(seq ? "]" : "}", false);
            return;
        }
        int saved = indent_;
        indent_ = indent_ < 0 ? 0 : indent_ + best_indent;
        if (seq)
            sequence(r.keep);
        else
            mapping(r.keep);
        indent_ = saved;
    }

    void sequence(nb::handle seq) {
        // live indexing, as a list iterator sees the list
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i) {
            nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), i));
            write_indent();
            indicator("-", true, false, true);
            node(item, IN_SEQ);
        }
    }

    void mapping(nb::handle pairs) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.ptr()); ++i) {
            PyObject *item = PyList_GET_ITEM(pairs.ptr(), i);
            if (!(PyTuple_CheckExact(item) || PyList_CheckExact(item)) ||
                PySequence_Fast_GET_SIZE(item) != 2)
                throw Unsupported();
            nb::object key = nb::borrow(PySequence_Fast_GET_ITEM(item, 0));
            nb::object value = nb::borrow(PySequence_Fast_GET_ITEM(item, 1));
            write_indent();
            if (key_node(key)) {
                indicator(":", false);
            } else {
                write_indent();
                indicator(":", true, false, true);
            }
            node(value, IN_MAP);
        }
    }

    // Writes a mapping key, as a simple key when it can be one (true) or
    // after "?" otherwise.
    bool key_node(nb::handle key) {
        Level level(*this);
        Rep r;
        represent(key, r);
        Analysis a;
        if (r.kind == Rep::SCALAR)
            a = analysis(r);
        bool simple = simple_key(r, a);
        if (!simple)
            indicator("?", true, false, true);
        if (r.kind == Rep::SCALAR)
            scalar(r, simple ? IN_MAP | SIMPLE_KEY : IN_MAP, a);
        else
            collection(r);
        return simple;
    }

    // choose_scalar_style with flow level 0
    static Style choose_style(const Rep &r, const Analysis &a, bool implicit_plain, int ctx) {
        bool key = ctx & SIMPLE_KEY;
        if (!r.hint && implicit_plain && !(key && (a.empty || a.multiline)) && a.allow_plain)
            return PLAIN;
        if (r.hint == '|' && !key && a.allow_block)
            return LITERAL;
        if (!r.hint && a.allow_single && !(key && a.multiline))
            return SINGLE;
        return DOUBLE;
    }

    void scalar(const Rep &r, int ctx, const Analysis &a) {
        with_chars(r, [&](auto s) {
            // implicit: plain text would resolve to the node's tag; any other
            // style only keeps str untagged
            bool implicit_plain = resolve(s, r.len) == r.tag;
            Style style = choose_style(r, a, implicit_plain, ctx);
            if (!(style == PLAIN ? implicit_plain : r.tag == T_STR))
                indicator(tag_text[r.tag], true);
            int saved = indent_;
            indent_ = indent_ < 0 ? best_indent : indent_ + best_indent;
            bool split = !(ctx & SIMPLE_KEY);
            switch (style) {
            case PLAIN: plain(s, r.len, split, ctx & ROOT); break;
            case SINGLE: single_quoted(s, r.len, split); break;
            case DOUBLE: double_quoted(s, r.len, split); break;
            case LITERAL: literal(s, r.len); break;
            }
            indent_ = saved;
        });
    }

    template <class C>
    void plain(const C *s, Py_ssize_t n, bool split, bool root) {
        if (root)
            open_ended_ = true;
        if (n == 0)
            return;
        if (!whitespace_) {
            out_ += ' ';
            ++column_;
        }
        whitespace_ = indention_ = false;
        bool spaces = false;
        Py_ssize_t start = 0;
        for (Py_ssize_t end = 0; end <= n; ++end) {
            Py_UCS4 c = end < n ? s[end] : 0;
            bool at_end = end == n;
            if (spaces) {
                if (at_end || c != ' ') {
                    if (start + 1 == end && column_ > best_width && split) {
                        write_indent();
                        whitespace_ = indention_ = false;
                    } else {
                        raw(s + start, end - start);
                    }
                    start = end;
                }
            } else if (at_end || c == ' ') {
                raw(s + start, end - start);
                start = end;
            }
            spaces = !at_end && c == ' ';
        }
    }

    template <class C>
    void single_quoted(const C *s, Py_ssize_t n, bool split) {
        indicator("'", true);
        bool spaces = false, breaks = false;
        Py_ssize_t start = 0;
        for (Py_ssize_t end = 0; end <= n; ++end) {
            bool at_end = end == n;
            Py_UCS4 c = at_end ? 0 : s[end];
            if (spaces) {
                if (at_end || c != ' ') {
                    if (start + 1 == end && column_ > best_width && split && start != 0 && end != n)
                        write_indent();
                    else
                        raw(s + start, end - start);
                    start = end;
                }
            } else if (breaks) {
                if (at_end || !is_break(c)) {
                    // only '\n' can get here: other breaks force double quotes
                    if (s[start] == '\n')
                        line_break();
                    for (Py_ssize_t i = start; i < end; ++i)
                        line_break();
                    write_indent();
                    start = end;
                }
            } else if (at_end || c == ' ' || is_break(c) || c == '\'') {
                if (start < end) {
                    raw(s + start, end - start);
                    start = end;
                }
            }
            if (!at_end && c == '\'') {
                raw("''");
                start = end + 1;
            }
            if (!at_end) {
                spaces = c == ' ';
                breaks = is_break(c);
            }
        }
        indicator("'", false);
    }

    void escape(Py_UCS4 c) {
        char buf[12];
        const char *letters = "0\0\0\0\0\0\0abtnvfr";
        int n;
        if (c <= 13 && (c == 0 || c >= 7))
            n = std::snprintf(buf, sizeof buf, "\\%c", letters[c]);
        else if (c == 27)
            n = std::snprintf(buf, sizeof buf, "\\e");
        else if (c == '"' || c == '\\')
            n = std::snprintf(buf, sizeof buf, "\\%c", (char) c);
        else if (c == 0x85)
            n = std::snprintf(buf, sizeof buf, "\\N");
        else if (c == 0xA0)
            n = std::snprintf(buf, sizeof buf, "\\_");
        else if (c == 0x2028)
            n = std::snprintf(buf, sizeof buf, "\\L");
        else if (c == 0x2029)
            n = std::snprintf(buf, sizeof buf, "\\P");
        else if (c <= 0xFF)
            n = std::snprintf(buf, sizeof buf, "\\x%02X", (unsigned) c);
        else if (c <= 0xFFFF)
            n = std::snprintf(buf, sizeof buf, "\\u%04X", (unsigned) c);
        else
            n = std::snprintf(buf, sizeof buf, "\\U%08X", (unsigned) c);
        raw(std::string_view(buf, (size_t) n));
    }

    template <class C>
    void double_quoted(const C *s, Py_ssize_t n, bool split) {
        indicator("\"", true);
        Py_ssize_t start = 0;
        for (Py_ssize_t end = 0; end <= n; ++end) {
            bool at_end = end == n;
            Py_UCS4 c = at_end ? 0 : s[end];
            if (at_end || c == '"' || c == '\\' || c == 0xFEFF || !is_printable_ascii(c)) {
                if (start < end) {
                    raw(s + start, end - start);
                    start = end;
                }
                if (!at_end) {
                    escape(c);
                    start = end + 1;
                }
            }
            if (0 < end && end < n - 1 && (c == ' ' || start >= end) &&
                column_ + (end - start) > best_width && split) {
                if (start < end) {
                    raw(s + start, end - start);
                    start = end;
                }
                raw("\\");
                write_indent();
                whitespace_ = indention_ = false;
                if (s[start] == ' ')
                    raw("\\");
            }
        }
        indicator("\"", false);
    }

    template <class C>
    void literal(const C *s, Py_ssize_t n) {
        // determine_block_hints; the text is never empty here
        std::string hints = "|";
        if (s[0] == ' ' || is_break(s[0]))
            hints += char('0' + best_indent);
        if (!is_break(s[n - 1]))
            hints += '-';
        else if (n == 1 || is_break(s[n - 2]))
            hints += '+';
        indicator(hints, true);
        if (hints.back() == '+')
            open_ended_ = true;
        line_break();
        bool breaks = true;
        Py_ssize_t start = 0;
        for (Py_ssize_t end = 0; end <= n; ++end) {
            bool at_end = end == n;
            Py_UCS4 c = at_end ? 0 : s[end];
            if (breaks) {
                if (at_end || !is_break(c)) {
                    for (Py_ssize_t i = start; i < end; ++i)
                        line_break();
                    if (!at_end)
                        write_indent();
                    start = end;
                }
            } else if (at_end || is_break(c)) {
                raw(s + start, end - start, false);  // the emitter leaves the column alone here
                if (at_end)
                    line_break();
                start = end;
            }
            if (!at_end)
                breaks = is_break(c);
        }
    }
};

// The document as yaml.dump(document, Dumper=YAMLDumper,
// default_flow_style=False) writes it, or an invalid object when that call
// has to do it.
nb::object dump(nb::handle document) {
    if (!applies())
        return nb::object();
    try {
        return Writer(*snapshot).document(document);
    } catch (const Unsupported &) {
        return nb::object();
    }
}

}  // namespace fast_yaml

NB_MODULE(_yamlscratch, m) {
    m.def("capture", [](nb::handle module) {
        scope.bind(module);
        fast_yaml::capture(module);
        return fast_yaml::snapshot != nullptr;
    });
    m.def("dump", [](nb::handle doc) {
        nb::object text = fast_yaml::dump(doc);
        return text.is_valid() ? text : nb::none();
    }, nb::arg("doc").none());
    m.def("applies", [] { return fast_yaml::applies(); });
}
