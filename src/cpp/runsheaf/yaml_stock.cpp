// YAMLDumper as the fast YAML writer mirrors it, checked once at import and
// pinned for the checks on every call (see common/unchanged.hpp).
//
// At import the writer makes sure that it mirrors what is there: PyYAML 6.0,
// YAMLDumper derived from SafeDumper alone with only its own two methods,
// the representer table of stock.cpp and nothing else, PyYAML's own
// resolvers, escapes and tag handles, and the module's constants. It then
// pins all of them; dump_yaml writes directly only while they hold.
#include "documents.hpp"
#include "stock.hpp"

#include <cstring>
#include <string>
#include <string_view>

namespace vexa::runsheaf {

namespace {

bool starts_with(nb::handle text, const char *prefix) {
    if (!PyUnicode_Check(text.ptr()))
        return false;
    Py_ssize_t r = PyUnicode_Tailmatch(text.ptr(), nb::str(prefix).ptr(), 0,
                                       (Py_ssize_t) std::strlen(prefix), -1);
    check(r >= 0);
    return r == 1;
}

// The characters of an ASCII str; empty for anything else.
std::string ascii(nb::handle text) {
    if (!PyUnicode_Check(text.ptr()) || !PyUnicode_IS_ASCII(text.ptr()))
        return {};
    return {(const char *) PyUnicode_DATA(text.ptr()), (size_t) PyUnicode_GET_LENGTH(text.ptr())};
}

// A pattern without the blanks that re.VERBOSE ignores.
std::string squeezed(nb::handle pattern) {
    std::string out;
    for (char c : ascii(pattern))
        if (!Py_UNICODE_ISSPACE((Py_UCS4) (unsigned char) c))
            out += c;
    return out;
}

// The resolvers are PyYAML 6.0's own, which the matchers above stand in for.
bool pristine_resolvers(nb::handle table) {
    struct Pattern { const char *tag, *text; };
    static const Pattern patterns[] = {
        {"bool", "^(?:yes|Yes|YES|no|No|NO|true|True|TRUE|false|False|FALSE|on|On|ON|off|Off|OFF)$"},
        {"null", "^(?:~|null|Null|NULL|)$"},
        {"float", "^(?:[-+]?(?:[0-9][0-9_]*)\\.[0-9_]*(?:[eE][-+][0-9]+)?|\\.[0-9][0-9_]*(?:[eE]"
                  "[-+][0-9]+)?|[-+]?[0-9][0-9_]*(?::[0-5]?[0-9])+\\.[0-9_]*|[-+]?\\.(?:inf|Inf|"
                  "INF)|\\.(?:nan|NaN|NAN))$"},
        {"int", "^(?:[-+]?0b[0-1_]+|[-+]?0[0-7_]+|[-+]?(?:0|[1-9][0-9_]*)|[-+]?0x[0-9a-fA-F_]+|"
                "[-+]?[1-9][0-9_]*(?::[0-5]?[0-9])+)$"},
        {"timestamp", "^(?:[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]|[0-9][0-9][0-9][0-9]-"
                      "[0-9][0-9]?-[0-9][0-9]?(?:[Tt]|[\\t]+)[0-9][0-9]?:[0-9][0-9]:[0-9][0-9]"
                      "(?:\\.[0-9]*)?(?:[\\t]*(?:Z|[-+][0-9][0-9]?(?::[0-9][0-9])?))?)$"},
        {"merge", "^(?:<<)$"},
        {"value", "^(?:=)$"},
        {"yaml", "^(?:!|&|\\*)$"},
    };
    struct First { const char *chars, *tags; };
    static const First firsts[] = {
        {"yYtTfFoO", "bool"}, {"nN", "bool null"}, {"~", "null"}, {"+-", "float int"},
        {".", "float"}, {"0123456789", "float int timestamp"}, {"<", "merge"},
        {"=", "value"}, {"!&*", "yaml"},
    };
    auto expected_tags = [&](PyObject *key) -> std::string_view {
        if (PyUnicode_GET_LENGTH(key) == 0)
            return "null";
        Py_UCS4 c = PyUnicode_READ_CHAR(key, 0);
        if (PyUnicode_GET_LENGTH(key) == 1 && c < 0x80 && c)
            for (const First &f : firsts)
                if (std::strchr(f.chars, (int) c))
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
        // held: reading a pattern may run code that changes the table
        nb::object held_key = nb::borrow(key), held_list = nb::borrow(list);
        std::string tags;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            nb::object held_entry = nb::borrow(PyList_GET_ITEM(list, i));
            PyObject *entry = held_entry.ptr();
            if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2)
                return false;
            std::string name = ascii(PyTuple_GET_ITEM(entry, 0));
            if (name.rfind("tag:yaml.org,2002:", 0) != 0)
                return false;
            name.erase(0, std::strlen("tag:yaml.org,2002:"));
            std::string text = squeezed(get_attr(PyTuple_GET_ITEM(entry, 1), "pattern"));
            bool known = false;
            for (const Pattern &p : patterns)
                known |= name == p.tag && text == p.text;
            if (!known)
                return false;
            tags += (tags.empty() ? "" : " ") + name;
        }
        if (tags != expected_tags(key))
            return false;
    }
    return true;
}

// The functions of a PyYAML class come from PyYAML: nothing was patched in
// before this module was imported.
bool from_pyyaml(nb::handle cls) {
    nb::object dict = class_dict(cls);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict.ptr(), &pos, &key, &value)) {
        nb::object fn = nb::borrow(value);
        if (PyObject_TypeCheck(value, &PyClassMethod_Type) ||
            PyObject_TypeCheck(value, &PyStaticMethod_Type))
            fn = get_attr(value, "__func__");
        if (PyFunction_Check(fn.ptr()) && !starts_with(PyFunction_GetModule(fn.ptr()), "yaml."))
            return false;
    }
    return true;
}


// YAMLDumper derives from SafeDumper alone and adds only its two methods and
// its representer table. Pins the dicts of the classes of its MRO.
bool pristine_classes(YamlStock &s, nb::handle dumper) {
    if (Py_TYPE(dumper.ptr()) != &PyType_Type)
        return false;
    nb::object mro_obj = get_attr(dumper, N.mro);
    const std::pair<const char *, const char *> line[] = {
        {"yaml.dumper", "SafeDumper"},           {"yaml.emitter", "Emitter"},
        {"yaml.serializer", "Serializer"},       {"yaml.representer", "SafeRepresenter"},
        {"yaml.representer", "BaseRepresenter"}, {"yaml.resolver", "Resolver"},
        {"yaml.resolver", "BaseResolver"}};
    PyObject *mro = mro_obj.ptr();
    if (!PyTuple_CheckExact(mro) || PyTuple_GET_SIZE(mro) != 9 ||
        PyTuple_GET_ITEM(mro, 0) != dumper.ptr() ||
        PyTuple_GET_ITEM(mro, 8) != (PyObject *) &PyBaseObject_Type)
        return false;
    for (int i = 0; i < 7; ++i) {
        nb::object cls = nb::module_::import_(line[i].first).attr(line[i].second);
        if (PyTuple_GET_ITEM(mro, i + 1) != cls.ptr() || !from_pyyaml(cls))
            return false;
    }
    nb::object own = class_dict(dumper);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(own.ptr(), &pos, &key, &value)) {
        std::string name = ascii(key);
        bool dunder = name.size() > 4 && name.rfind("__", 0) == 0 &&
                      name.compare(name.size() - 2, 2, "__") == 0;
        if (!dunder && name != "increase_indent" && name != "ignore_aliases" &&
            name != "yaml_representers")
            return false;
    }
    s.pins.attr(s.dumper, N.mro);
    for (int i = 0; i < 8; ++i)
        s.pins.items(s.pins.fixed(class_dict(PyTuple_GET_ITEM(mro, i))));
    return true;
}

// Two bindings of one function to one object: each access to a class
// method binds anew.
bool same_method(nb::handle a, nb::handle b) {
    for (const char *part : {"__self__", "__func__"}) {
        nb::object x = get_optional_attr(a, nb::str(part).ptr());
        nb::object y = get_optional_attr(b, nb::str(part).ptr());
        if (!x.is_valid() || !y.is_valid() || x.ptr() != y.ptr())
            return false;
    }
    return true;
}


// The representer table is the one stock.cpp lists, and nothing else.
bool pristine_representers(YamlStock &s, nb::handle module, nb::handle dumper) {
    nb::object representers = get_attr(dumper, N.yaml_representers);
    if (!PyDict_CheckExact(representers.ptr()))
        return false;
    nb::dict want = expected_representers(module);
    if (PyDict_GET_SIZE(want.ptr()) != PyDict_GET_SIZE(representers.ptr()))
        return false;
    Py_ssize_t pos = 0;
    PyObject *key, *expected;
    while (PyDict_Next(want.ptr(), &pos, &key, &expected)) {
        PyObject *found = PyDict_GetItemWithError(representers.ptr(), key);
        check(found || !PyErr_Occurred());
        // held: same_method reads attributes, which may run code
        nb::object have = nb::borrow(found);
        if (!found || (found != expected && !same_method(have, expected)))
            return false;
    }
    nb::object multi = get_attr(dumper, N.yaml_multi_representers);
    if (!PyDict_CheckExact(multi.ptr()) || PyDict_GET_SIZE(multi.ptr()) != 0)
        return false;
    s.pins.items(s.pins.attr(s.dumper, N.yaml_representers));
    s.pins.items(s.pins.attr(s.dumper, N.yaml_multi_representers));
    // The classes the writer writes itself, from the same table.
    int node = 0;
    for (const RepresenterRow &row : representer_rows) {
        if (row.provider == Provider::ToYaml)
            s.nodes[node++] = row_type(row, module);
        else if (row.home == TypeHome::Module && row.provider == Provider::Module) {
            nb::object type = row_type(row, module);
            std::string_view name = row.type;
            (name == "ResultCounter" ? s.result_counter
             : name == "TestResult"  ? s.test_result
                                     : s.attr_dict) = type;
        }
    }
    return node == 4;
}

// The resolvers, escapes and tag handles the emitter works with.
bool pristine_emitter_tables(YamlStock &s, nb::handle dumper) {
    nb::object path_resolvers = get_attr(dumper, N.yaml_path_resolvers);
    if (!PyDict_CheckExact(path_resolvers.ptr()) || PyDict_GET_SIZE(path_resolvers.ptr()) ||
        !pristine_resolvers(get_attr(dumper, N.yaml_implicit_resolvers)))
        return false;

    nb::dict escapes, prefixes;
    const std::pair<int, char> letters[] = {
        {0, '0'},   {7, 'a'},     {8, 'b'},      {9, 't'},    {10, 'n'},
        {11, 'v'},  {12, 'f'},    {13, 'r'},     {27, 'e'},   {'"', '"'},
        {'\\', '\\'}, {0x85, 'N'}, {0xA0, '_'}, {0x2028, 'L'}, {0x2029, 'P'}};
    for (auto [c, letter] : letters)
        escapes[steal_checked(PyUnicode_FromOrdinal(c))] = nb::str(&letter, 1);
    prefixes["!"] = "!";
    prefixes["tag:yaml.org,2002:"] = "!!";
    nb::object have_escapes = get_attr(dumper, N.escape_replacements);
    nb::object have_prefixes = get_attr(dumper, N.default_tag_prefixes);
    if (!PyDict_CheckExact(have_escapes.ptr()) || !PyDict_CheckExact(have_prefixes.ptr()) ||
        !equal(have_escapes, escapes) || !equal(have_prefixes, prefixes))
        return false;
    s.pins.items(s.pins.attr(s.dumper, N.yaml_path_resolvers));
    s.pins.items(s.pins.attr(s.dumper, N.yaml_implicit_resolvers), true);
    s.pins.items(s.pins.attr(s.dumper, N.escape_replacements));
    s.pins.items(s.pins.attr(s.dumper, N.default_tag_prefixes));
    return true;
}

// The module constants the representers read each time they run.
bool pristine_constants(YamlStock &s) {
    const std::pair<PyObject *, const char *> tags[] = {{N.YAML_MAP, "tag:yaml.org,2002:map"},
                                                        {N.YAML_STR, "tag:yaml.org,2002:str"},
                                                        {N.YAML_FLT, "tag:yaml.org,2002:float"}};
    for (auto [name, text] : tags) {
        nb::object value = global(name);
        if (!PyUnicode_CheckExact(value.ptr()) || !equal(value, nb::str(text)))
            return false;
        s.pins.global(name);
    }
    nb::object precision = global(N.FLOAT_PRECISION);
    if (!PyLong_CheckExact(precision.ptr()) || !equal(precision, nb::int_(2)))
        return false;
    s.pins.global(N.FLOAT_PRECISION);
    s.pins.builtin(N.round);
    return true;
}

}  // namespace

// Called once, at the end of the module's import: the writer is on only
// when YAMLDumper is one it mirrors.
void pin_yaml(nb::handle module) {
    auto s = std::make_unique<YamlStock>(state->scope);
    Pins::Id yaml = s->pins.global(N.yaml);
    s->dumper = s->pins.global(N.YAMLDumper);
    s->dump = s->pins.attr(yaml, N.dump);
    s->pins.attr(yaml, N.dump_all);
    nb::handle yaml_module = s->pins[yaml], dumper = s->pins[s->dumper];
    if (!starts_with(get_attr(yaml_module, "__version__"), "6.0.") ||
        !pristine_classes(*s, dumper) || !pristine_representers(*s, module, dumper) ||
        !pristine_emitter_tables(*s, dumper) || !pristine_constants(*s))
        return;
    s->encodebytes = nb::module_::import_("base64").attr("encodebytes");
    state->yaml = std::move(s);
}

}  // namespace vexa::runsheaf
