// What the runsheaf module keeps between calls: its names, made at import
// for the life of the process, and its state, made at import and released
// in one place at interpreter exit.
#pragma once

#include "../common/classes.hpp"
#include "../common/hotpath.hpp"
#include "../common/unchanged.hpp"

#include <algorithm>
#include <memory>

namespace vexa::runsheaf {

#define RUNSHEAF_NAMES(X)                                                      \
    X(type, "type") X(id, "id") X(seq_num, "seq_num") X(parent, "parent")      \
    X(_parent, "_parent") X(name, "name") X(starttime, "starttime")            \
    X(stoptime, "stoptime") X(runtime, "runtime")                              \
    X(result_rollup, "result_rollup") X(details, "details")                    \
    X(extra, "extra") X(result, "result") X(health_result, "health_result")    \
    X(health_summary, "health_summary") X(summary, "summary")                  \
    X(pluginsummary, "pluginsummary") X(totaltasks, "totaltasks")              \
    X(tasks, "tasks") X(sections, "sections") X(logfile, "logfile")            \
    X(logs, "logs") X(weight, "weight") X(_ARG_ORDER, "_ARG_ORDER")            \
    X(data, "data") X(version, "version") X(report, "report")                  \
    X(value, "value") X(reason, "reason") X(total, "total")                    \
    X(success_rate, "success_rate") X(health, "health") X(file, "file")        \
    X(begin, "begin") X(size, "size") X(num_tasks, "num_tasks")                \
    X(list_extend, "list_extend") X(style, "style")                            \
    X(dunder_name, "__name__") X(update, "update")                             \
    X(update_extra, "update_extra") X(roll_up, "roll_up") X(clone, "clone")    \
    X(from_str, "from_str") X(lower, "lower") X(items, "items")                \
    X(append, "append") X(extend, "extend") X(copy, "copy") X(path, "path")    \
    X(basename, "basename") X(getsize, "getsize")                              \
    X(total_seconds, "total_seconds") X(rstrip, "rstrip")                      \
    X(represent_scalar, "represent_scalar")                                    \
    X(represent_mapping, "represent_mapping")                                  \
    X(increase_indent, "increase_indent") X(default_, "default")               \
    X(as_dict, "as_dict") X(dumps, "dumps") X(dump, "dump") X(yaml, "yaml")    \
    X(json, "json") X(os, "os") X(datetime, "datetime")                        \
    X(get_time, "get_time") X(recursive_update, "recursive_update")            \
    X(ResultCounter, "ResultCounter") X(TestResult, "TestResult")              \
    X(AttrDict, "AttrDict") X(Passed, "Passed") X(VERSION, "VERSION")          \
    X(VALUE_IGNORE, "VALUE_IGNORE") X(FLOAT_PRECISION, "FLOAT_PRECISION")      \
    X(YAML_MAP, "YAML_MAP") X(YAML_STR, "YAML_STR") X(YAML_FLT, "YAML_FLT")    \
    X(JSONDumper, "JSONDumper") X(YAMLDumper, "YAMLDumper")                    \
    X(ReportHeader, "ReportHeader") X(ReportObjectBase, "ReportObjectBase")    \
    X(Runsheaf, "Runsheaf") X(Task, "Task") X(Section, "Section")              \
    X(Plugin, "Plugin") X(fullid, "fullid") X(idlist, "idlist")                \
    X(utcoffset, "utcoffset") X(repr, "repr") X(round, "round")                \
    X(isoformat, "isoformat") X(dump_all, "dump_all") X(mro, "__mro__")        \
    X(passed, "passed") X(passx, "passx") X(failed, "failed")                  \
    X(errored, "errored") X(aborted, "aborted") X(blocked, "blocked")          \
    X(skipped, "skipped") X(c_make_encoder, "c_make_encoder")                  \
    X(encode_basestring_ascii, "encode_basestring_ascii")                      \
    X(new_, "__new__") X(init, "__init__") X(encode, "encode")                 \
    X(iterencode, "iterencode") X(item_separator, "item_separator")            \
    X(key_separator, "key_separator") X(dunder_class, "__class__")             \
    X(yaml_representers, "yaml_representers")                                  \
    X(yaml_multi_representers, "yaml_multi_representers")                      \
    X(yaml_path_resolvers, "yaml_path_resolvers")                              \
    X(yaml_implicit_resolvers, "yaml_implicit_resolvers")                      \
    X(escape_replacements, "ESCAPE_REPLACEMENTS")                              \
    X(default_tag_prefixes, "DEFAULT_TAG_PREFIXES")

struct Names {
    RUNSHEAF_NAMES(VEXA_NAME_FIELD)
    // The nine health keys, in the order every roll-up walks them.
    PyObject *health_keys[9] = {};

    void intern() {
        RUNSHEAF_NAMES(VEXA_NAME_INTERN)
        PyObject *keys[9] = {passed, passx, failed, errored, aborted,
                             blocked, skipped, total, success_rate};
        for (int i = 0; i < 9; ++i)
            health_keys[i] = keys[i];
    }
};

inline Names N;

// The JSON writer's view of the module: the objects json.dumps with
// JSONDumper goes through, and the classes default() tests, as pins.
struct JsonStock {
    explicit JsonStock(const ModuleScope &scope) : pins(scope) {}
    Pins pins;
    Pins::Id report_object_base = -1, test_result = -1, result_counter = -1, datetime = -1;
    nb::object fullid_property, idlist_property;  // ReportObjectBase's own
};

// The YAML writer's view: YAMLDumper, its bases and tables, the module's
// representers and constants, as pins; and the classes it writes itself.
struct YamlStock {
    explicit YamlStock(const ModuleScope &scope) : pins(scope) {}
    Pins pins;
    Pins::Id dump = -1, dumper = -1;
    nb::object result_counter, test_result, attr_dict, nodes[4];
    nb::object encodebytes;  // base64's, for bytes
};

// The module globals read for every section: watched where the interpreter
// allows (see WatchedGlobals), looked up each time otherwise.
constexpr int hot_global_count = 9;

struct State {
    explicit State(nb::handle module) {
        scope.bind(module);
        PyObject *names[hot_global_count] = {N.get_time, N.recursive_update, N.ResultCounter,
                                             N.TestResult, N.Passed, N.Runsheaf, N.Task,
                                             N.Section, N.os};
        std::copy(names, names + hot_global_count, hot_names);
    }

    ModuleScope scope;
    // The base class's own methods and each node class's constructor: a
    // node whose class has not replaced one is served by a direct C++ call,
    // skipping Python's method dispatch and, for children made by
    // add_section and the like, the generic type call.
    nb::object own_update, own_update_extra, own_roll_up;
    nb::object own_init[4];  // Runsheaf, Task, Section, Plugin
    // The framework's recursive_update as imported: with nothing to merge it
    // returns at once, so it need not be called.
    nb::object own_recursive_update;
    nb::object list_extend_kwnames;  // ("list_extend",)
    ClassFacts class_facts;
    PyObject *hot_names[hot_global_count];
    WatchedGlobals<hot_global_count> hot_globals;
    DefiningClass json_dumper_class, yaml_dumper_class;
    std::unique_ptr<JsonStock> json;
    std::unique_ptr<YamlStock> yaml;

    // At interpreter exit: every object let go, every fast path off.
    void release() {
        own_update.reset();
        own_update_extra.reset();
        own_roll_up.reset();
        for (nb::object &init : own_init)
            init.reset();
        own_recursive_update.reset();
        list_extend_kwnames.reset();
        hot_globals.release();
        json.reset();
        yaml.reset();
    }
};

inline State *state = nullptr;  // made at import, never freed: methods may run late

// The module global `name`, read when the method runs.
inline nb::object global(PyObject *name) {
    for (int i = 0; i < hot_global_count; ++i)
        if (state->hot_names[i] == name)
            return state->hot_globals[i];
    return state->scope[name];
}

}  // namespace vexa::runsheaf
