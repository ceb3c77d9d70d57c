// vexa.reporter.runsheaf: the report tree of a job.
//
// Classes, in the order a tree is built:
//   ReportHeader        wraps a node for output: {"version", "report"}
//   ReportObjectBase    identity, timing, keyword updates, section roll-up
//   Runsheaf            the run: tasks and run-level plugin runs
//   Task                one test script: sections and task-level plugin runs
//   Section             a section at any depth, with its log position
//   Plugin              a plugin run, at run or task level
//   JSONDumper          json.JSONEncoder for report documents
//   YAMLDumper          yaml.SafeDumper with the report's representers
//
// All classes are plain Python classes (see common/classes.hpp); their state
// lives in the instance __dict__ under the names the framework reads. This
// file assembles the module; each class's methods live in the file named in
// node.hpp, the documents in documents.hpp.
#include "documents.hpp"

#include "node.hpp"
#include "stock.hpp"

#include <initializer_list>

namespace vexa::runsheaf {

namespace {

void add_node_methods(ClassBuilder &b) {
    b.method("__init__", &node_init, nb::arg("id").none(), nb::arg("seq_num").none(),
             nb::arg("parent").none() = nb::none(), nb::arg("type").none() = nb::none())
        .property("fullid", &node_fullid)
        .property("idlist", &node_idlist)
        .fast_method("start", entry::node_start)
        .fast_method("stop", entry::node_stop)
        .method("update", &node_update, nb::arg("data").none())
        .method("update_extra", &node_update_extra, nb::arg("data").none(),
                nb::arg("list_extend").none() = true)
        .method("add_detail", &node_add_detail, nb::arg("detail").none())
        .method("roll_up", &node_roll_up)
        .method("dump_json", &node_dump_json)
        .method("dump_yaml", &node_dump_yaml)
        .method("to_dict", &node_to_dict)
        .classmethod("to_yaml", &node_to_yaml, nb::arg("dumper").none(), nb::arg("data").none());
}

nb::object runsheaf_testscripts(nb::handle self) { return get_attr(self, N.tasks); }

// What a node class adds to the base, one of: a method with the fast calling
// convention, a read-only property, a method of no arguments.
struct NodeMember {
    const char *name;
    vectorcallfunc fast = nullptr;
    nb::object (*getter)(nb::handle self) = nullptr;
    void (*method)(nb::handle self) = nullptr;
};

// The node classes below ReportObjectBase, in the order they are built:
// each with its _ARG_ORDER list, its fast constructor (remembered as the
// module's own, State::own_init[kind]) and its members in namespace order.
// The constructors, factories, start and stop take the fast calling
// convention (entry_points.cpp): a job calls them for every node.
struct NodeClass {
    const char *name;
    int kind;
    vectorcallfunc init;
    std::initializer_list<NodeMember> members;
};

const NodeClass node_classes[] = {
    {"Runsheaf", 0, entry::runsheaf_init,
     {{.name = "add_task", .fast = entry::runsheaf_add_task},
      {.name = "add_plugin", .fast = entry::runsheaf_add_plugin},
      {.name = "testscripts", .getter = &runsheaf_testscripts},
      {.name = "result", .getter = &runsheaf_result},
      {.name = "stop", .fast = entry::runsheaf_stop},
      {.name = "roll_up", .method = &runsheaf_roll_up}}},
    {"Task", 1, entry::task_init,
     {{.name = "add_section", .fast = entry::add_section},
      {.name = "add_plugin", .fast = entry::task_add_plugin},
      {.name = "result", .getter = &task_result}, {.name = "stop", .fast = entry::task_stop},
      {.name = "roll_up", .method = &task_roll_up}}},
    {"Plugin", 3, entry::plugin_init,
     {{.name = "add_section", .fast = entry::add_section},
      {.name = "start", .fast = entry::plugin_start}, {.name = "stop", .fast = entry::plugin_stop},
      {.name = "roll_up", .method = &plugin_roll_up}}},
    {"Section", 2, entry::section_init,
     {{.name = "add_section", .fast = entry::add_section},
      {.name = "start", .fast = entry::section_start},
      {.name = "stop", .fast = entry::section_stop}}},
};

void build_node_class(nb::module_ &m, const NodeClass &c, nb::handle bases) {
    ClassBuilder b(m, c.name);
    b.attr("_ARG_ORDER", arg_order(c.name)).fast_method("__init__", c.init);
    for (const NodeMember &member : c.members) {
        if (member.fast)
            b.fast_method(member.name, member.fast);
        else if (member.getter)
            b.property(member.name, member.getter);
        else
            b.method(member.name, member.method);
    }
    state->own_init[c.kind] = b.ns()["__init__"];
    b.build(bases);
}

}  // namespace

}  // namespace vexa::runsheaf

using namespace vexa;
using namespace vexa::runsheaf;

NB_MODULE(runsheaf, m) {
    replace_state(m, state);

    m.attr("yaml") = nb::module_::import_("yaml");
    m.attr("json") = nb::module_::import_("json");
    nb::module_::import_("os.path");
    m.attr("os") = nb::module_::import_("os");
    m.attr("datetime") = nb::module_::import_("datetime").attr("datetime");
    m.attr("get_time") = nb::module_::import_("vexa.utils.utils").attr("get_time");
    m.attr("recursive_update") = nb::module_::import_("vexa.utils.dicts").attr("recursive_update");
    nb::module_ results = nb::module_::import_("vexa.results");
    for (const char *name : {"ResultCounter", "TestResult", "Passed", "Skipped"})
        m.attr(name) = results.attr(name);
    m.attr("AttrDict") = nb::module_::import_("vexa.datastructures").attr("AttrDict");
    m.attr("VERSION") = "3.4";
    nb::list value_ignore;
    value_ignore.append(nb::none());
    value_ignore.append(nb::list());
    value_ignore.append(nb::dict());
    m.attr("VALUE_IGNORE") = value_ignore;
    m.attr("FLOAT_PRECISION") = 2;
    m.attr("YAML_MAP") = "tag:yaml.org,2002:map";
    m.attr("YAML_STR") = "tag:yaml.org,2002:str";
    m.attr("YAML_FLT") = "tag:yaml.org,2002:float";

    nb::object json_dumper =
        ClassBuilder(m, "JSONDumper")
            .method("default", &json_default, nb::arg("obj").none())
            .build(nb::make_tuple(m.attr("json").attr("JSONEncoder")));
    nb::object yaml_dumper =
        ClassBuilder(m, "YAMLDumper")
            .method("increase_indent", &yaml_increase_indent,
                    nb::arg("flow").none() = false, nb::arg("indentless").none() = false)
            .method("ignore_aliases", &yaml_ignore_aliases, nb::arg("data").none())
            .build(nb::make_tuple(m.attr("yaml").attr("SafeDumper")));
    state->json_dumper_class.bind(json_dumper);
    state->yaml_dumper_class.bind(yaml_dumper);

    ClassBuilder(m, "ReportHeader")
        .method("__init__", &header_init, nb::arg("report").none())
        .method("as_dict", &header_as_dict)
        .build(object_bases());

    ClassBuilder base(m, "ReportObjectBase");
    base.attr("_ARG_ORDER", arg_order("ReportObjectBase"));
    add_node_methods(base);
    state->own_update = base.ns()["update"];
    state->own_update_extra = base.ns()["update_extra"];
    state->own_roll_up = base.ns()["roll_up"];
    nb::object node_cls = base.build(object_bases());
    nb::object node_bases = nb::make_tuple(node_cls);

    for (const NodeClass &c : node_classes)
        build_node_class(m, c, node_bases);
    init_recording(m);

    define_representers(m);
    register_representers(m, yaml_dumper);
    pin_yaml(m);
    pin_json();
    m.def("_fast_dumps", [](nb::handle obj) -> nb::object {
        nb::object text = fast_json_text(obj);
        return text.is_valid() ? text : nb::none();
    }, nb::arg("obj").none(),
        "json.dumps(obj, cls=JSONDumper) as dump_json writes it, or None when "
        "dump_json would leave it to json.dumps.");
}
