// An object as YAMLDumper's representers turn it into a node: a scalar's
// tag and text, a sequence, or a mapping's items in writing order. Mirrors
// the module's representers, SafeDumper's own, and the table of stock.cpp.
#pragma once

#include "../common/text.hpp"
#include "../common/unchanged.hpp"
#include "state.hpp"
#include "yaml_scalars.hpp"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vexa::runsheaf::yaml {

using Pairs = std::vector<std::pair<nb::object, nb::object>>;

struct Rep {
    enum Kind : uint8_t { SCALAR, SEQ, MAP } kind = SCALAR;
    Tag tag = TAG_STR;
    bool literal = false;  // str_representer asked for style '|'
    int width = PyUnicode_1BYTE_KIND;
    const void *data = nullptr;
    Py_ssize_t len = 0;    // characters of a scalar
    nb::object keep;       // owns the text, or the sequence
    std::string chars;     // text made here
    Pairs pairs;           // a mapping's items, in writing order
};

// Calls f(chars) with a scalar's characters at their width.
template <class F>
decltype(auto) with_chars(const Rep &r, F &&f) {
    return visit_units(r.width, r.data, r.len, [&](auto chars, Py_ssize_t) { return f(chars); });
}

// Turns objects into nodes. Dispatches on the exact type, as PyYAML looks
// up yaml_representers; gives up (GiveUp) on a type whose metaclass could
// make PyYAML's look-up differ.
class Representer {
public:
    explicit Representer(const YamlStock &stock);

    void represent(nb::handle obj, Rep &r);

private:
    bool plain_metaclass(PyTypeObject *meta);
    bool is_node_class(PyTypeObject *type) const;

    static void set_text(Rep &r, Tag tag, nb::object str);
    static void set_ascii(Rep &r, Tag tag, std::string_view text);
    static void set_mapping(Rep &r, Tag tag);
    static void represent_str(nb::handle obj, Rep &r);
    static void represent_int(nb::handle obj, Rep &r);
    static void represent_float(nb::handle obj, Rep &r);
    static void represent_datetime(nb::handle obj, Rep &r);
    static void represent_set(nb::handle obj, Rep &r);
    static void represent_counter(nb::handle obj, Rep &r);
    static void represent_result(nb::handle obj, Rep &r);
    static void represent_unknown(nb::handle obj, Rep &r);

    const YamlStock &s_;
    std::vector<nb::object> metaclasses_;  // checked by plain_metaclass
};

}  // namespace vexa::runsheaf::yaml
