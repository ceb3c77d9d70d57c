// The report as a document (documents.cpp), and the fast writers that
// dump_json and dump_yaml try first (json_writer.cpp, yaml_emitter.cpp).
#pragma once

#include "state.hpp"

namespace vexa::runsheaf {

// True when VALUE_IGNORE is the list [None, [], {}] the module sets up.
inline bool usual_value_ignore(nb::handle value_ignore) {
    PyObject *l = value_ignore.ptr();
    return PyList_CheckExact(l) && PyList_GET_SIZE(l) == 3 && PyList_GET_ITEM(l, 0) == Py_None &&
           PyList_CheckExact(PyList_GET_ITEM(l, 1)) && PyList_GET_SIZE(PyList_GET_ITEM(l, 1)) == 0 &&
           PyDict_CheckExact(PyList_GET_ITEM(l, 2)) && PyDict_GET_SIZE(PyList_GET_ITEM(l, 2)) == 0;
}

// True when `value` is a member of VALUE_IGNORE (None, [], {}).
inline bool ignorable(nb::handle value, nb::handle value_ignore) {
    // The usual list is answered without rich comparisons.
    PyObject *v = value.ptr();
    if (usual_value_ignore(value_ignore)) {
        if (v == Py_None)
            return true;
        if (PyList_CheckExact(v))
            return PyList_GET_SIZE(v) == 0;
        if (PyDict_CheckExact(v))
            return PyDict_GET_SIZE(v) == 0;
        if (PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
            PyBool_Check(v))
            return false;
    }
    return contains(value_ignore, value);
}

// Calls f(name, value) for each written pair of the node, in _ARG_ORDER order.
template <typename F>
void for_each_node_pair(nb::handle node, F &&f) {
    nb::object value_ignore = global(N.VALUE_IGNORE);
    for_each(get_attr(node, N._ARG_ORDER), [&](nb::handle name) {
        nb::object value = get_optional_attr(node, name.ptr());
        if (!value.is_valid() || ignorable(value, value_ignore))
            return;
        f(name, value);
    });
}


nb::list node_pairs(nb::handle node);
nb::dict node_mapping(nb::handle node);
nb::dict result_mapping(nb::handle result);
nb::object node_to_dict(nb::handle self);
nb::object node_dump_json(nb::handle self);
nb::object node_dump_yaml(nb::handle self);
nb::object node_to_yaml(nb::handle cls, nb::handle dumper, nb::handle data);

// JSONDumper and YAMLDumper
nb::object json_default(nb::handle self, nb::handle obj);
nb::object yaml_increase_indent(nb::handle self, nb::handle flow, nb::handle indentless);
bool yaml_ignore_aliases(nb::handle self, nb::handle data);

// The module's representers
nb::object str_representer(nb::handle dumper, nb::handle data);
nb::object float_representer(nb::handle dumper, nb::handle data);
nb::object type_representer(nb::handle dumper, nb::handle data);
nb::object unknown_representer(nb::handle dumper, nb::handle data);
nb::object counter_representer(nb::handle dumper, nb::handle data);
nb::object result_representer(nb::handle dumper, nb::handle data);
nb::object attrdict_representer(nb::handle dumper, nb::handle data);

// The fast writers. Each pins what it mirrors at import, and gives the text
// of the generic call, or an invalid object when that call must run (see
// common/fallback.hpp).
void pin_json();
nb::object fast_json_text(nb::handle document);
void pin_yaml(nb::handle module);
nb::object fast_yaml_text(nb::handle document, nb::handle dump_fn, nb::handle dumper);

}  // namespace vexa::runsheaf
