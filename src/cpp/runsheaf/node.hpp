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
nb::object basename(nb::handle path);
bool is_top(nb::handle parent, nb::handle runsheaf_cls);
// A node's own lists, left to the cyclic collector only once they could be
// part of a cycle (see node.cpp).
nb::object untracked_list();
void track_for(nb::handle list, nb::handle item);

// ReportHeader
void header_init(nb::handle self, nb::handle report);
nb::object header_as_dict(nb::handle self);

// What a node's class resolves its hooks to, remembered while the class is
// unchanged (see ClassFacts).
enum : uint32_t {
    OWN_UPDATE = 1,
    OWN_UPDATE_EXTRA = 2,
    OWN_ROLL_UP = 4,
    PLAIN_NEW = 8,  // object.__new__ and the usual allocation
    INIT_RUNSHEAF = 16,  // __init__ is the module's own for that class
    INIT_TASK = 32,
    INIT_SECTION = 64,
    INIT_PLUGIN = 128,
    PLAIN_CLASS = 256,  // no __class__ of its own: isinstance() goes by the type alone
    PLAIN_LISTS = 512,  // details and sections read from the instance alone
};
uint32_t facts_of_type(PyTypeObject *type);
inline uint32_t facts_of(nb::handle obj) { return facts_of_type(Py_TYPE(obj.ptr())); }

// The constructor's arguments; the subclasses take keywords only.
struct NodeArgs {
    nb::object id, seq_num, parent, type;
};
// The keywords of a subclass constructor; `parent`, when valid, is given by
// add_section and the like, which reject it among the keywords.
NodeArgs node_args(const Keywords &kw, const char *cls, nb::handle parent);
using NodeInit = void (*)(nb::handle self, NodeArgs &args);

// At import, once the module's globals are in place.
void init_recording(nb::handle module);

// ReportObjectBase
void node_init(nb::handle self, nb::handle id, nb::handle seq_num, nb::handle parent,
               nb::handle type);
void init_from(nb::handle self, NodeArgs &args);
nb::object node_fullid(nb::handle self);
nb::object node_idlist(nb::handle self);
void node_start(nb::handle self, Keywords &kw);
void node_stop(nb::handle self, Keywords &kw);
void node_update(nb::handle self, nb::handle data);
void node_update_extra(nb::handle self, nb::handle data, nb::handle list_extend);
void node_add_detail(nb::handle self, nb::handle detail);
void node_roll_up(nb::handle self);
// self.update(kwargs) and self.roll_up(), direct while they are the base's.
void update(nb::handle self, const Keywords &kw);
void roll_up(nb::handle self);

// Runsheaf and Task
nb::object add_child(nb::handle self, const Keywords &kw, PyObject *cls_name,
                     PyObject *list_name, uint32_t own_init, NodeInit init);
void runsheaf_init(nb::handle self, NodeArgs &args);
nb::object runsheaf_result(nb::handle self);
void runsheaf_stop(nb::handle self, Keywords &kw);
void runsheaf_roll_up(nb::handle self);
void task_init(nb::handle self, NodeArgs &args);
nb::object task_result(nb::handle self);
void task_stop(nb::handle self, Keywords &kw);
void task_roll_up(nb::handle self);

// Section and Plugin
void section_init(nb::handle self, NodeArgs &args);
void section_start(nb::handle self, Keywords &kw);
void section_stop(nb::handle self, Keywords &kw);
void plugin_init(nb::handle self, NodeArgs &args);
void plugin_start(nb::handle self, Keywords &kw);
void plugin_stop(nb::handle self, Keywords &kw);
void plugin_roll_up(nb::handle self);

// The keyword-only methods with CPython's fast calling convention
// (entry_points.cpp), the bodies of Functions in the classes' namespaces.
namespace entry {
extern const vectorcallfunc node_start, node_stop;
extern const vectorcallfunc runsheaf_init, runsheaf_add_task, runsheaf_add_plugin, runsheaf_stop;
extern const vectorcallfunc task_init, add_section, task_add_plugin, task_stop;
extern const vectorcallfunc section_init, section_start, section_stop;
extern const vectorcallfunc plugin_init, plugin_start, plugin_stop;
}  // namespace entry

}  // namespace vexa::runsheaf
