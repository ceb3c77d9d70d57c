// The report as a document: the node mapping shared by JSON and YAML, the
// flat dictionary form, the dump_json and dump_yaml entry points with their
// fast paths, and the dumper classes with their representers.
#include "documents.hpp"

#include "../common/calls.hpp"

namespace vexa::runsheaf {

nb::list node_pairs(nb::handle node) {
    nb::list pairs;
    for_each_node_pair(node, [&](nb::handle name, nb::handle value) {
        pairs.append(nb::make_tuple(name, value));
    });
    return pairs;
}

nb::dict node_mapping(nb::handle node) {
    nb::dict mapping;
    for_each_node_pair(node, [&](nb::handle name, nb::handle value) {
        check(PyDict_SetItem(mapping.ptr(), name.ptr(), value.ptr()) == 0);
    });
    return mapping;
}

nb::object node_to_dict(nb::handle self) {
    nb::dict d;
    for_each(get_attr(self, N._ARG_ORDER), [&](nb::handle name) {
        nb::object value = get_optional_attr(self, name.ptr());
        if (value.is_valid())
            check(PyDict_SetItem(d.ptr(), name.ptr(), value.ptr()) == 0);
    });
    for (PyObject *key : {N.tasks, N.sections}) {
        PyObject *children = PyDict_GetItemWithError(d.ptr(), key);
        if (!children) {
            check(!PyErr_Occurred());
            continue;
        }
        nb::list ids;
        for_each(children, [&](nb::handle child) { ids.append(get_attr(child, N.id)); });
        d[key] = ids;
    }
    d[N.seq_num] = get_attr(self, N.seq_num);
    nb::object logfile = get_optional_attr(self, N.logfile);
    if (logfile.is_valid())
        d[N.logfile] = logfile;
    return d;
}

nb::object header_document(nb::handle node) {
    nb::object header = call(global(N.ReportHeader), node);
    return call_method(header, N.as_dict);
}

nb::object node_dump_json(nb::handle self) {
    nb::object document = header_document(self);
    nb::object text = fast_json_text(document);
    if (text.is_valid())
        return text;
    nb::dict kw;
    kw["cls"] = global(N.JSONDumper);
    return call_with(get_attr(global(N.json), N.dumps), nb::make_tuple(document), kw);
}

nb::object node_dump_yaml(nb::handle self) {
    nb::dict kw;
    kw["Dumper"] = global(N.YAMLDumper);
    kw["default_flow_style"] = false;
    nb::object dump = get_attr(global(N.yaml), N.dump);
    nb::object document = header_document(self);
    // The same text written directly, when nothing it mirrors has changed.
    nb::object text = fast_yaml_text(document, dump, kw["Dumper"]);
    if (text.is_valid())
        return text;
    return call_with(dump, nb::make_tuple(document), kw);
}

nb::object represent_mapping(nb::handle dumper, nb::handle value) {
    return steal_checked(PyObject_CallMethodObjArgs(
        dumper.ptr(), N.represent_mapping, global(N.YAML_MAP).ptr(), value.ptr(), nullptr));
}

nb::object represent_scalar(nb::handle dumper, PyObject *tag_name, nb::handle value) {
    return steal_checked(PyObject_CallMethodObjArgs(
        dumper.ptr(), N.represent_scalar, global(tag_name).ptr(), value.ptr(), nullptr));
}

nb::object node_to_yaml(nb::handle /* cls */, nb::handle dumper, nb::handle data) {
    return represent_mapping(dumper, node_pairs(data));
}

// ---------------------------------------------------------------------------
// JSONDumper

nb::dict result_mapping(nb::handle result) {
    nb::dict mapping;
    mapping[N.value] = get_attr(result, N.value);
    for (PyObject *name : {N.reason, N.data}) {
        nb::object value = get_attr(result, name);
        if (truthy(value))
            mapping[name] = value;
    }
    return mapping;
}

nb::object json_default(nb::handle self, nb::handle obj) {
    nb::object value;
    if (is_instance(obj, global(N.ReportObjectBase))) {
        value = node_mapping(obj);
    } else if (is_instance(obj, global(N.TestResult))) {
        value = result_mapping(obj);
    } else if (is_instance(obj, global(N.ResultCounter))) {
        value = call_method(get_attr(obj, N.data), N.copy);
        set_item(value, nb::handle(N.total), get_attr(obj, N.total));
        set_item(value, nb::handle(N.success_rate), get_attr(obj, N.success_rate));
    } else if (is_instance(obj, global(N.datetime))) {
        value = steal_checked(PyObject_Str(obj.ptr()));
    } else if (PyObject_TypeCheck(obj.ptr(), (PyTypeObject *) PyExc_Exception)) {
        value = steal_checked(PyObject_Repr(obj.ptr()));
    }
    if (value.is_valid() && truthy(value))
        return value;
    return call_method(state->json_dumper_class.super(self), N.default_, obj);
}

// ---------------------------------------------------------------------------
// YAMLDumper and its representers

nb::object yaml_increase_indent(nb::handle self, nb::handle flow, nb::handle /* indentless */) {
    nb::object base = state->yaml_dumper_class.super(self);
    return steal_checked(PyObject_CallMethodObjArgs(base.ptr(), N.increase_indent,
                                                    flow.ptr(), Py_False, nullptr));
}

bool yaml_ignore_aliases(nb::handle, nb::handle) { return true; }

// Multi-line text becomes a literal block with trailing blanks removed.
nb::object str_representer(nb::handle dumper, nb::handle data) {
    nb::str newline("\n");
    if (!contains(data, newline))
        return represent_scalar(dumper, N.YAML_STR, data);
    nb::object lines = steal_checked(PyUnicode_Split(data.ptr(), newline.ptr(), -1));
    nb::list stripped;
    for_each(lines, [&](nb::handle line) { stripped.append(call_method(line, N.rstrip)); });
    nb::object text = steal_checked(PyUnicode_Join(newline.ptr(), stripped.ptr()));
    nb::dict kw;
    kw[N.style] = "|";
    return call_with(get_attr(dumper, N.represent_scalar),
                   nb::make_tuple(global(N.YAML_STR), text), kw);
}

nb::object float_representer(nb::handle dumper, nb::handle data) {
    nb::object round = get_item(nb::handle(PyEval_GetBuiltins()), N.round);
    nb::object rounded = call(round, {data, global(N.FLOAT_PRECISION)});
    return represent_scalar(dumper, N.YAML_FLT, steal_checked(PyObject_Str(rounded.ptr())));
}

nb::object type_representer(nb::handle dumper, nb::handle data) {
    return represent_scalar(dumper, N.YAML_STR, steal_checked(PyObject_Repr(data.ptr())));
}

nb::object unknown_representer(nb::handle dumper, nb::handle data) {
    nb::dict mapping;
    mapping[N.type] = type_of(data);
    mapping[N.repr] = to_repr(data);
    return represent_mapping(dumper, mapping);
}

nb::object counter_representer(nb::handle dumper, nb::handle data) {
    nb::object pairs = steal_checked(PySequence_List(call_method(data, N.items).ptr()));
    nb::list list = nb::borrow<nb::list>(pairs);
    list.append(nb::make_tuple(nb::handle(N.total), get_attr(data, N.total)));
    list.append(nb::make_tuple(nb::handle(N.success_rate), get_attr(data, N.success_rate)));
    return represent_mapping(dumper, list);
}

nb::object result_representer(nb::handle dumper, nb::handle data) {
    return represent_mapping(dumper, result_mapping(data));
}

nb::object attrdict_representer(nb::handle dumper, nb::handle data) {
    return represent_mapping(dumper, data);
}


}  // namespace vexa::runsheaf
