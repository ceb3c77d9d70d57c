// The report tree's classes, as the module assembles them: the node base
// (node.cpp), the run and its tasks (run_task.cpp), sections and plugin runs
// (section_plugin.cpp).
#pragma once

#include "../common/calls.hpp"
#include "state.hpp"

namespace vexa::runsheaf {

// Helpers the node classes share.
nb::object add_in_place(nb::handle a, nb::handle b);
void counter_add(nb::handle counter, nb::handle key, nb::handle amount);
void counter_increment(nb::handle counter, nb::handle key);
nb::object result_key(nb::handle value);
nb::object pop_kwarg(nb::handle kwargs, PyObject *key, nb::handle fallback);
nb::object basename(nb::handle path);
bool is_top(nb::handle parent, nb::handle runsheaf_cls);

// ReportHeader
void header_init(nb::handle self, nb::handle report);
nb::object header_as_dict(nb::handle self);

// ReportObjectBase
void node_init(nb::handle self, nb::handle id, nb::handle seq_num, nb::handle parent,
               nb::handle type);
void node_init_kwargs(nb::handle self, nb::handle kwargs, const char *cls);
nb::object node_fullid(nb::handle self);
nb::object node_idlist(nb::handle self);
void node_start(nb::handle self, nb::kwargs kwargs);
void node_stop(nb::handle self, nb::handle kwargs);
void node_update(nb::handle self, nb::handle data);
void node_update_extra(nb::handle self, nb::handle data, nb::handle list_extend);
void node_add_detail(nb::handle self, nb::handle detail);
void node_roll_up(nb::handle self);
// self.update(data) and self.roll_up(), direct while they are the base's.
void update(nb::handle self, nb::handle data);
void roll_up(nb::handle self);

// Runsheaf and Task
nb::object add_child(nb::handle self, nb::handle kwargs, PyObject *cls_name, PyObject *list_name);
void runsheaf_init(nb::handle self, nb::kwargs kwargs);
nb::object runsheaf_result(nb::handle self);
void runsheaf_stop(nb::handle self, nb::kwargs kwargs);
void runsheaf_roll_up(nb::handle self);
void task_init(nb::handle self, nb::kwargs kwargs);
nb::object task_result(nb::handle self);
void task_stop(nb::handle self, nb::kwargs kwargs);
void task_roll_up(nb::handle self);

// Section and Plugin
void section_init(nb::handle self, nb::kwargs kwargs);
void section_start(nb::handle self, nb::kwargs kwargs);
void section_stop(nb::handle self, nb::kwargs kwargs);
void plugin_init(nb::handle self, nb::kwargs kwargs);
void plugin_start(nb::handle self, nb::kwargs kwargs);
void plugin_stop(nb::handle self, nb::kwargs kwargs);
void plugin_roll_up(nb::handle self);

}  // namespace vexa::runsheaf
