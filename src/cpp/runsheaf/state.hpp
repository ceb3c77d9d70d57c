// What the runsheaf module keeps between calls: its state, made at import
// and released in one place at interpreter exit.
#pragma once

#include "../common/hotpath.hpp"
#include "../common/module_state.hpp"
#include "../common/unchanged.hpp"

#include <algorithm>
#include <memory>

namespace vexa::runsheaf {

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

struct State : ModuleState {
    explicit State(nb::handle module) : ModuleState(module) {
        PyObject *names[hot_global_count] = {N.get_time, N.recursive_update, N.ResultCounter,
                                             N.TestResult, N.Passed, N.Runsheaf, N.Task,
                                             N.Section, N.os};
        std::copy(names, names + hot_global_count, hot_names);
    }

    // The base class's own methods and each node class's constructor: a
    // node whose class has not replaced one is served by a direct C++ call,
    // skipping Python's method dispatch and, for children made by
    // add_section and the like, the generic type call.
    nb::object own_update, own_update_extra, own_roll_up;
    nb::object own_init[4];  // Runsheaf, Task, Section, Plugin
    // The framework's recursive_update as imported: with nothing to merge it
    // returns at once, so it need not be called.
    nb::object own_recursive_update;
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
        hot_globals.release();
        json.reset();
        yaml.reset();
    }
};

// Made at import, never freed: methods may run late. One for the process,
// not one per import of the module: the node classes' methods and the
// writers read it deep in their calls (global() below), and handing it down
// through all of them is a change not yet made. A module imported afresh
// takes it over (replace_state).
inline State *state = nullptr;

// The module global `name`, read when the method runs.
inline nb::object global(PyObject *name) {
    for (int i = 0; i < hot_global_count; ++i)
        if (state->hot_names[i] == name)
            return state->hot_globals[i];
    return state->scope[name];
}

}  // namespace vexa::runsheaf
