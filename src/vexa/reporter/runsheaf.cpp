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
// All classes are plain Python classes (see ClassBuilder); their state lives
// in the instance __dict__ under the names the framework reads.
#include "common.hpp"
#include "hotpath.hpp"

#include <datetime.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using namespace vexa;

namespace {

ModuleScope scope;

// Attribute, key and global names, interned once.
struct Names {
    PyObject *type, *id, *seq_num, *parent, *_parent, *name, *starttime,
        *stoptime, *runtime, *result_rollup, *details, *extra, *result,
        *health_result, *health_summary, *summary, *pluginsummary, *totaltasks,
        *tasks, *sections, *logfile, *logs, *weight, *_ARG_ORDER, *data,
        *version, *report, *value, *reason, *total, *success_rate, *health,
        *file, *begin, *size, *num_tasks, *list_extend, *style, *dunder_name, *dunder_init, *dunder_class;
    // methods
    PyObject *update, *update_extra, *roll_up, *clone, *from_str, *lower,
        *items, *append, *extend, *copy, *path, *basename, *getsize,
        *total_seconds, *rstrip, *represent_scalar, *represent_mapping,
        *increase_indent, *default_, *as_dict, *dumps, *dump;
    // module globals
    PyObject *yaml, *json, *os, *datetime, *get_time, *recursive_update,
        *ResultCounter, *TestResult, *Passed, *VERSION, *VALUE_IGNORE,
        *FLOAT_PRECISION, *YAML_MAP, *YAML_STR, *YAML_FLT, *JSONDumper,
        *YAMLDumper, *ReportHeader, *ReportObjectBase, *Runsheaf, *Task,
        *Section, *Plugin;
};

Names N;

void init_names() {
#define VEXA_NAME(field, text) N.field = interned(text)
    VEXA_NAME(type, "type"); VEXA_NAME(id, "id"); VEXA_NAME(seq_num, "seq_num");
    VEXA_NAME(parent, "parent"); VEXA_NAME(_parent, "_parent");
    VEXA_NAME(name, "name"); VEXA_NAME(starttime, "starttime");
    VEXA_NAME(stoptime, "stoptime"); VEXA_NAME(runtime, "runtime");
    VEXA_NAME(result_rollup, "result_rollup"); VEXA_NAME(details, "details");
    VEXA_NAME(extra, "extra"); VEXA_NAME(result, "result");
    VEXA_NAME(health_result, "health_result");
    VEXA_NAME(health_summary, "health_summary"); VEXA_NAME(summary, "summary");
    VEXA_NAME(pluginsummary, "pluginsummary"); VEXA_NAME(totaltasks, "totaltasks");
    VEXA_NAME(tasks, "tasks"); VEXA_NAME(sections, "sections");
    VEXA_NAME(logfile, "logfile"); VEXA_NAME(logs, "logs");
    VEXA_NAME(weight, "weight"); VEXA_NAME(_ARG_ORDER, "_ARG_ORDER");
    VEXA_NAME(data, "data"); VEXA_NAME(version, "version");
    VEXA_NAME(report, "report"); VEXA_NAME(value, "value");
    VEXA_NAME(reason, "reason"); VEXA_NAME(total, "total");
    VEXA_NAME(success_rate, "success_rate"); VEXA_NAME(health, "health");
    VEXA_NAME(file, "file"); VEXA_NAME(begin, "begin"); VEXA_NAME(size, "size");
    VEXA_NAME(num_tasks, "num_tasks"); VEXA_NAME(list_extend, "list_extend");
    VEXA_NAME(style, "style"); VEXA_NAME(dunder_name, "__name__");
    VEXA_NAME(dunder_init, "__init__");
    VEXA_NAME(dunder_class, "__class__");
    VEXA_NAME(update, "update"); VEXA_NAME(update_extra, "update_extra");
    VEXA_NAME(roll_up, "roll_up"); VEXA_NAME(clone, "clone");
    VEXA_NAME(from_str, "from_str"); VEXA_NAME(lower, "lower");
    VEXA_NAME(items, "items"); VEXA_NAME(append, "append");
    VEXA_NAME(extend, "extend"); VEXA_NAME(copy, "copy"); VEXA_NAME(path, "path");
    VEXA_NAME(basename, "basename"); VEXA_NAME(getsize, "getsize");
    VEXA_NAME(total_seconds, "total_seconds"); VEXA_NAME(rstrip, "rstrip");
    VEXA_NAME(represent_scalar, "represent_scalar");
    VEXA_NAME(represent_mapping, "represent_mapping");
    VEXA_NAME(increase_indent, "increase_indent"); VEXA_NAME(default_, "default");
    VEXA_NAME(as_dict, "as_dict"); VEXA_NAME(dumps, "dumps"); VEXA_NAME(dump, "dump");
    VEXA_NAME(yaml, "yaml"); VEXA_NAME(json, "json"); VEXA_NAME(os, "os");
    VEXA_NAME(datetime, "datetime"); VEXA_NAME(get_time, "get_time");
    VEXA_NAME(recursive_update, "recursive_update");
    VEXA_NAME(ResultCounter, "ResultCounter"); VEXA_NAME(TestResult, "TestResult");
    VEXA_NAME(Passed, "Passed");
    VEXA_NAME(VERSION, "VERSION"); VEXA_NAME(VALUE_IGNORE, "VALUE_IGNORE");
    VEXA_NAME(FLOAT_PRECISION, "FLOAT_PRECISION"); VEXA_NAME(YAML_MAP, "YAML_MAP");
    VEXA_NAME(YAML_STR, "YAML_STR"); VEXA_NAME(YAML_FLT, "YAML_FLT");
    VEXA_NAME(JSONDumper, "JSONDumper"); VEXA_NAME(YAMLDumper, "YAMLDumper");
    VEXA_NAME(ReportHeader, "ReportHeader");
    VEXA_NAME(ReportObjectBase, "ReportObjectBase");
    VEXA_NAME(Runsheaf, "Runsheaf"); VEXA_NAME(Task, "Task");
    VEXA_NAME(Section, "Section"); VEXA_NAME(Plugin, "Plugin");
#undef VEXA_NAME
}

// The nine health keys, in the order every roll-up walks them.
PyObject *health_keys[9];

void init_health_keys() {
    const char *keys[9] = {"passed", "passx", "failed", "errored", "aborted",
                           "blocked", "skipped", "total", "success_rate"};
    for (int i = 0; i < 9; ++i)
        health_keys[i] = interned(keys[i]);
}

// The module globals read for every section, watched where the interpreter
// allows; the rest are looked up each time.
constexpr int hot_count = 9;
PyObject *hot_names[hot_count];
WatchedGlobals<hot_count> hot_globals;

void init_hot_globals() {
    PyDateTime_IMPORT;
    check(PyDateTimeAPI != nullptr);
    PyObject *names[hot_count] = {N.get_time, N.recursive_update, N.ResultCounter,
                                  N.TestResult, N.Passed, N.Runsheaf, N.Task, N.Section, N.os};
    std::copy(names, names + hot_count, hot_names);
    hot_globals.bind(&scope, hot_names);
}

nb::object global(PyObject *name) {
    for (int i = 0; i < hot_count; ++i)
        if (hot_names[i] == name)
            return hot_globals[i];
    return scope[name];
}

bool is_none(nb::handle h) { return h.ptr() == Py_None; }

nb::object call(nb::handle fn) {
    return steal_checked(PyObject_CallNoArgs(fn.ptr()));
}

nb::object call(nb::handle fn, nb::handle arg) {
    return steal_checked(PyObject_CallOneArg(fn.ptr(), arg.ptr()));
}

nb::object call_kw(nb::handle fn, nb::handle args, nb::handle kwargs) {
    return steal_checked(PyObject_Call(fn.ptr(), args.ptr(), kwargs.ptr()));
}

nb::object add_in_place(nb::handle a, nb::handle b) {
    return steal_checked(PyNumber_InPlaceAdd(a.ptr(), b.ptr()));
}

// counter[key] += amount, read and written through the counter's items.
void counter_add(nb::handle counter, nb::handle key, nb::handle amount) {
    set_item(counter, key, add_in_place(get_item(counter, key), amount));
}

void counter_increment(nb::handle counter, nb::handle key) {
    static nb::handle one = nb::int_(1).release();
    counter_add(counter, key, one);
}

// str(value).lower(): a counter key.
nb::object result_key(nb::handle value) {
    return call_method(steal_checked(PyObject_Str(value.ptr())), N.lower);
}

// Unpacks a (key, value) pair the way `for k, v in ...` does.
std::pair<nb::object, nb::object> unpack_pair(nb::handle item) {
    if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2)
        return {nb::borrow(PyTuple_GET_ITEM(item.ptr(), 0)),
                nb::borrow(PyTuple_GET_ITEM(item.ptr(), 1))};
    nb::object seq = steal_checked(
        PySequence_Fast(item.ptr(), "cannot unpack non-iterable object"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    if (n != 2) {
        PyErr_Format(PyExc_ValueError,
                     n < 2 ? "not enough values to unpack (expected 2, got %zd)"
                           : "too many values to unpack (expected 2)",
                     n);
        throw nb::python_error();
    }
    return {nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), 0)),
            nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), 1))};
}

// ---------------------------------------------------------------------------
// ReportHeader

void header_init(nb::handle self, nb::handle report) {
    nb::dict data;
    data[N.version] = global(N.VERSION);
    data[N.report] = report;
    set_attr(self, N.data, data);
}

nb::object header_as_dict(nb::handle self) { return get_attr(self, N.data); }

// ---------------------------------------------------------------------------
// ReportObjectBase: identity

void node_init(nb::handle self, nb::handle id, nb::handle seq_num,
               nb::handle parent, nb::handle type) {
    nb::object node_type = nb::borrow(type);
    if (!truthy(type))
        node_type = get_attr(nb::handle((PyObject *) Py_TYPE(self.ptr())), N.dunder_name);
    set_attr(self, N.type, node_type);
    set_attr(self, N.id, id);
    set_attr(self, N.seq_num, seq_num);
    set_attr(self, N._parent, parent);
    set_attr(self, N.name, id);
    set_attr(self, N.starttime, nb::none());
    set_attr(self, N.stoptime, nb::none());
    set_attr(self, N.runtime, nb::none());
    set_attr(self, N.result_rollup, nb::none());
    set_attr(self, N.details, nb::list());
    set_attr(self, N.extra, nb::dict());
}

// The constructor's arguments; the subclasses take keywords only.
struct NodeArgs {
    nb::object id, seq_num, parent, type;
};

void init_from(nb::handle self, NodeArgs &args) {
    node_init(self, args.id, args.seq_num, args.parent, args.type);
}

// The keywords of a subclass constructor; `parent` is given by add_section
// and the like, which reject it among the keywords.
NodeArgs node_args(const Keywords &kw, const char *cls, nb::handle parent) {
    PyObject *names[4] = {N.id, N.seq_num, N.parent, N.type};
    nb::object values[4] = {nb::none(), nb::none(),
                            parent.is_valid() ? nb::borrow(parent) : nb::none(), nb::none()};
    bool given[4] = {false, false, false, false};
    kw.each([&](PyObject *key, PyObject *value) {
        int slot = -1;
        for (int i = 0; i < 4 && slot < 0; ++i)
            if (same_name(key, names[i]))
                slot = i;
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError,
                         "%s.__init__() got an unexpected keyword argument '%S'", cls, key);
            throw nb::python_error();
        }
        values[slot] = nb::borrow(value);
        given[slot] = true;
    });
    for (int i = 0; i < 2; ++i)
        if (!given[i]) {
            PyErr_Format(PyExc_TypeError,
                         "%s.__init__() missing required keyword argument: '%U'", cls, names[i]);
            throw nb::python_error();
        }
    return {values[0], values[1], values[2], values[3]};
}

// A node is a top node when its parent is falsy or is the run.
bool is_top(nb::handle parent, nb::handle runsheaf_cls) {
    return !truthy(parent) || is_instance(parent, runsheaf_cls);
}

// Walks the _parent chain with a loop, so depth is no limit; a cycle in the
// chain is reported instead of looping for ever.
template <typename F>
void walk_to_top(nb::handle self, F &&visit) {
    nb::object runsheaf_cls = global(N.Runsheaf);
    nb::object node = nb::borrow(self), slow = nb::borrow(self);
    for (size_t steps = 0;; ++steps) {
        nb::object parent = get_attr(node, N._parent);
        bool top = is_top(parent, runsheaf_cls);
        visit(node, top);
        if (top)
            return;
        node = parent;
        if (steps % 2)
            slow = get_attr(slow, N._parent);
        if (node.is(slow)) {
            PyErr_SetString(PyExc_RecursionError, "the _parent chain of a report node is cyclic");
            throw nb::python_error();
        }
    }
}

nb::object node_fullid(nb::handle self) {
    std::vector<nb::object> ids;
    walk_to_top(self, [&](nb::handle node, bool) { ids.push_back(get_attr(node, N.id)); });
    if (ids.size() == 1)
        return ids[0];  // a top node's id, not converted
    nb::list parts;
    for (auto it = ids.rbegin(); it != ids.rend(); ++it)
        parts.append(steal_checked(PyObject_Str(it->ptr())));
    return steal_checked(PyUnicode_Join(nb::str(".").ptr(), parts.ptr()));
}

nb::object node_idlist(nb::handle self) {
    std::vector<nb::object> ids;
    walk_to_top(self, [&](nb::handle node, bool) { ids.push_back(get_attr(node, N.id)); });
    nb::list result;
    for (auto it = ids.rbegin(); it != ids.rend(); ++it)
        result.append(*it);
    return result;
}

// ---------------------------------------------------------------------------
// ReportObjectBase: timing and keyword updates

// The base class's own methods and each class's constructor. A node whose
// class has not replaced one is served by a direct C++ call, skipping
// Python's method dispatch and, for children made by add_section and the
// like, the generic type call; overrides in subclasses are called as usual.
// Released at interpreter exit.
struct OwnMethods {
    PyObject *update = nullptr, *update_extra = nullptr, *roll_up = nullptr;
    PyObject *init_runsheaf = nullptr, *init_task = nullptr, *init_section = nullptr,
             *init_plugin = nullptr;
    PyObject *recursive_update = nullptr;  // the framework's, as imported
    PyObject *list_extend_kwnames = nullptr;
} own;

enum : uint32_t {
    OWN_UPDATE = 1,
    OWN_UPDATE_EXTRA = 2,
    OWN_ROLL_UP = 4,
    PLAIN_NEW = 8,  // object.__new__ and the usual allocation
    INIT_RUNSHEAF = 16,
    INIT_TASK = 32,
    INIT_SECTION = 64,
    INIT_PLUGIN = 128,
    PLAIN_CLASS = 256,  // __class__ is object's: isinstance() goes by the type alone
};

ClassFacts class_facts;

// Whether a class below object in the MRO defines __class__, which
// isinstance() would then consult.
bool own_class_attribute(PyTypeObject *type) {
    PyObject *mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro))
        return true;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i < n; ++i) {
        PyTypeObject *base = (PyTypeObject *) PyTuple_GET_ITEM(mro, i);
        if (base == &PyBaseObject_Type)
            continue;
        PyObject *dict = base->tp_dict;
        if (!dict || !(base->tp_flags & Py_TPFLAGS_HEAPTYPE))
            return true;  // a built-in base: let isinstance() answer
        int found = PyDict_Contains(dict, N.dunder_class);
        check(found >= 0);
        if (found)
            return true;
    }
    return false;
}

// What a class resolves update, update_extra, roll_up and __init__ to, as
// getattr(cls, name) finds them.
uint32_t compute_facts(PyTypeObject *type) {
    nb::handle cls((PyObject *) type);
    auto resolves_to = [&](PyObject *name, PyObject *fn) {
        nb::object attr = get_optional_attr(cls, name);
        return attr.is_valid() && attr.ptr() == fn;
    };
    uint32_t facts = 0;
    if (resolves_to(N.update, own.update))
        facts |= OWN_UPDATE;
    if (resolves_to(N.update_extra, own.update_extra))
        facts |= OWN_UPDATE_EXTRA;
    if (resolves_to(N.roll_up, own.roll_up))
        facts |= OWN_ROLL_UP;
    if (type->tp_new == PyBaseObject_Type.tp_new && type->tp_alloc == PyType_GenericAlloc)
        facts |= PLAIN_NEW;
    if (!own_class_attribute(type))
        facts |= PLAIN_CLASS;
    nb::object init = get_optional_attr(cls, N.dunder_init);
    PyObject *inits[4] = {own.init_runsheaf, own.init_task, own.init_section, own.init_plugin};
    for (int i = 0; i < 4; ++i)
        if (init.is_valid() && init.ptr() == inits[i])
            facts |= INIT_RUNSHEAF << i;
    return facts;
}

uint32_t facts_of_type(PyTypeObject *type) {
    if (!own.update)
        return 0;  // interpreter exit has released the methods
    return class_facts.get(type, compute_facts);
}

uint32_t facts_of(nb::handle obj) { return facts_of_type(Py_TYPE(obj.ptr())); }

// isinstance(obj, cls) for a node: by the type alone when neither cls's
// metaclass nor obj's class can change the answer.
bool node_is_instance(nb::handle obj, nb::handle cls) {
    if (PyType_CheckExact(cls.ptr()) && (facts_of(obj) & PLAIN_CLASS))
        return PyType_IsSubtype(Py_TYPE(obj.ptr()), (PyTypeObject *) cls.ptr());
    return is_instance(obj, cls);
}

// recursive_update(self.extra, data, list_extend=...), not called when there
// is nothing to merge and the module's function is the framework's own,
// which would return at once.
void merge_extra(nb::handle self, nb::handle data, nb::handle list_extend) {
    nb::object extra = get_attr(self, N.extra);
    nb::object fn = global(N.recursive_update);
    if (fn.ptr() == own.recursive_update && PyDict_CheckExact(data.ptr()) &&
        PyDict_GET_SIZE(data.ptr()) == 0)
        return;
    PyObject *args[3] = {extra.ptr(), data.ptr(), list_extend.ptr()};
    steal_checked(PyObject_Vectorcall(fn.ptr(), args, 2, own.list_extend_kwnames));
}

void node_update_extra(nb::handle self, nb::handle data, nb::handle list_extend) {
    merge_extra(self, data, list_extend);
}

// Keys named in _ARG_ORDER become attributes (lists grow, other values
// replace); the rest go to update_extra. `each` calls its argument with
// every (key, value) pair.
template <typename Each>
void apply_update(nb::handle self, Each &&each) {
    nb::object arg_order = get_attr(self, N._ARG_ORDER);
    nb::dict extras;
    each([&](PyObject *key, PyObject *value) {
        if (!name_in(arg_order, key)) {
            check(PyDict_SetItem(extras.ptr(), key, value) == 0);
            return;
        }
        nb::object current = get_optional_attr(self, key);
        if (current.is_valid() && PyList_Check(current.ptr())) {
            if (PyList_Check(value))
                call_method(current, N.extend, nb::handle(value));
            else
                check(PyList_Append(current.ptr(), value) == 0);
        } else {
            set_attr(self, key, nb::handle(value));
        }
    });
    if (facts_of(self) & OWN_UPDATE_EXTRA)
        merge_extra(self, extras, Py_True);
    else
        call_method(self, N.update_extra, extras);
}

void node_update(nb::handle self, nb::handle data) {
    apply_update(self, [&](auto &&f) { each_item(data, N.items, unpack_pair, f); });
}

// self.update(kwargs) with the keywords of a call: no dict is built unless
// the class replaced update().
void update(nb::handle self, const Keywords &kw) {
    if (facts_of(self) & OWN_UPDATE)
        apply_update(self, [&](auto &&f) { kw.each(f); });
    else
        call_method(self, N.update, kw.dict());
}

void roll_up(nb::handle self);

// delta.total_seconds(). For a plain timedelta of under about a century the
// microseconds are exact in a double, and one division rounds as the
// method's integer division does.
nb::object total_seconds(nb::handle delta) {
    if (PyDelta_CheckExact(delta.ptr())) {
        long long days = PyDateTime_DELTA_GET_DAYS(delta.ptr());
        long long micro = (days * 86400 + PyDateTime_DELTA_GET_SECONDS(delta.ptr())) * 1000000 +
                          PyDateTime_DELTA_GET_MICROSECONDS(delta.ptr());
        constexpr long long exact = 1LL << 53;
        if (days > -36500 && days < 36500 && micro > -exact && micro < exact)
            return steal_checked(PyFloat_FromDouble(double(micro) / 1e6));
    }
    return call_method(delta, N.total_seconds);
}

void node_start(nb::handle self, Keywords &kw) {
    set_attr(self, N.starttime, call(global(N.get_time)));
    update(self, kw);
}

void node_stop(nb::handle self, Keywords &kw) {
    nb::object start = get_attr(self, N.starttime);
    if (!is_none(start)) {
        nb::object stop = call(global(N.get_time));
        set_attr(self, N.stoptime, stop);
        nb::object delta = steal_checked(PyNumber_Subtract(stop.ptr(), start.ptr()));
        set_attr(self, N.runtime, total_seconds(delta));
    }
    nb::object flag = kw.pop(N.result_rollup, Py_True);
    set_attr(self, N.result_rollup, flag);
    update(self, kw);
    if (truthy(flag))
        roll_up(self);
}

void node_add_detail(nb::handle self, nb::handle detail) {
    nb::object details = get_attr(self, N.details);
    if (PyList_CheckExact(details.ptr()))
        check(PyList_Append(details.ptr(), detail.ptr()) == 0);
    else
        call_method(details, N.append, detail);
}

// ---------------------------------------------------------------------------
// ReportObjectBase: roll-up of a section into its parent section or plugin

// The first value handed up becomes a clone; later ones are combined.
void combine_into(nb::handle target, PyObject *attr, nb::handle value) {
    nb::object current = get_attr(target, attr);
    if (is_none(current))
        set_attr(target, attr, call_method(value, N.clone));
    else
        set_attr(target, attr, add_in_place(current, value));
}

void roll_up_health(nb::handle node, nb::handle parent, nb::handle extra) {
    nb::object node_summary = get_attr(node, N.health_summary);
    nb::object parent_summary = get_attr(parent, N.health_summary);
    if (contains(extra, nb::handle(N.health))) {
        nb::object test_result = global(N.TestResult);
        for_each(get_item(extra, nb::handle(N.health)), [&](nb::handle entry) {
            nb::object text = get_item(entry, nb::handle(N.result));
            nb::object value = call_method(test_result, N.from_str, text);
            nb::object health = get_attr(node, N.health_result);
            set_attr(node, N.health_result,
                     is_none(health) ? value : add_in_place(health, value));
            nb::object key = result_key(text);
            counter_increment(node_summary, key);
            combine_into(parent, N.health_result, get_attr(node, N.health_result));
            counter_increment(parent_summary, key);
        });
        return;
    }
    nb::object health = get_attr(node, N.health_result);
    if (is_none(health))
        set_attr(node, N.health_result, global(N.Passed));
    else
        combine_into(parent, N.health_result, health);
    for (PyObject *key : health_keys)
        set_item(parent_summary, key, get_item(node_summary, key));
}

// Returns the parent to continue with when it rolls up the same way, so a
// chain of nested sections is walked by a loop instead of by recursion.
nb::object roll_up_once(nb::handle node) {
    nb::object parent = get_attr(node, N._parent);
    if (!truthy(parent) || node_is_instance(parent, global(N.Runsheaf)) ||
        node_is_instance(parent, global(N.Task)))
        return nb::object();
    nb::object result = get_optional_attr(node, N.result);
    if (!result.is_valid() || is_none(result))
        return nb::object();

    combine_into(parent, N.result, result);
    roll_up_health(node, parent, get_attr(node, N.extra));

    if (facts_of(parent) & OWN_ROLL_UP)
        return parent;
    call_method(parent, N.roll_up);
    return nb::object();
}

void node_roll_up(nb::handle self) {
    nb::object node = nb::borrow(self);
    while (node.is_valid())
        node = roll_up_once(node);
}

void roll_up(nb::handle self) {
    if (facts_of(self) & OWN_ROLL_UP)
        node_roll_up(self);
    else
        call_method(self, N.roll_up);
}

// ---------------------------------------------------------------------------
// Runsheaf and Task

using NodeInit = void (*)(nb::handle self, NodeArgs &args);

// A factory: builds the child class from the module with parent=self and
// appends the child to the parent's list. A class that still has the
// module's own constructor and plain allocation is built directly, as
// type.__call__ would build it.
nb::object add_child(nb::handle self, const Keywords &kw, PyObject *cls_name,
                     PyObject *list_name, uint32_t own_init, NodeInit init) {
    for (Py_ssize_t i = 0, n = kw.size(); i < n; ++i)
        if (same_name(kw.name(i), N.parent)) {
            PyErr_Format(PyExc_TypeError,
                         "%U() got multiple values for keyword argument 'parent'", cls_name);
            throw nb::python_error();
        }
    nb::object cls = global(cls_name);
    nb::object child;
    uint32_t wanted = PLAIN_NEW | own_init;
    if (PyType_CheckExact(cls.ptr()) &&
        (facts_of_type((PyTypeObject *) cls.ptr()) & wanted) == wanted) {
        static PyObject *no_args = PyTuple_New(0);
        child = steal_checked(PyBaseObject_Type.tp_new((PyTypeObject *) cls.ptr(), no_args, nullptr));
        NodeArgs args = node_args(kw, PyUnicode_AsUTF8(cls_name), self);
        init(child, args);
    } else {
        nb::dict d = kw.dict();
        d[N.parent] = self;
        child = call_kw(cls, nb::tuple(), d);
    }
    call_method(get_attr(self, list_name), N.append, child);
    return child;
}

// sum() of the children's results that pass `take`, None when nothing summed.
template <typename Take>
nb::object sum_results(nb::handle children, Take &&take) {
    nb::object total = nb::int_(0);
    for_each(children, [&](nb::handle child) {
        nb::object result = get_attr(child, N.result);
        if (!is_none(result) && take(child))
            total = steal_checked(PyNumber_Add(total.ptr(), result.ptr()));
    });
    if (equal(total, nb::int_(0)))
        return nb::none();
    return total;
}

void new_counters(nb::handle self) {
    nb::object counter_cls = global(N.ResultCounter);
    set_attr(self, N.summary, call(counter_cls));
    set_attr(self, N.pluginsummary, call(counter_cls));
    set_attr(self, N.health_summary, call(counter_cls));
}

// The first child health result is taken as is; later ones are added.
void take_health(nb::handle self, nb::handle child) {
    nb::object child_health = get_attr(child, N.health_result);
    nb::object own = get_attr(self, N.health_result);
    set_attr(self, N.health_result,
             is_none(own) ? child_health : add_in_place(own, child_health));
    nb::object own_summary = get_attr(self, N.health_summary);
    nb::object child_summary = get_attr(child, N.health_summary);
    for (PyObject *key : health_keys)
        counter_add(own_summary, key, get_item(child_summary, key));
}

void add_counts(nb::handle target, nb::handle counter) {
    for_each(call_method(counter, N.items), [&](nb::handle item) {
        auto [key, count] = unpack_pair(item);
        counter_add(target, key, count);
    });
}

void runsheaf_init(nb::handle self, NodeArgs &args) {
    init_from(self, args);
    nb::object counter_cls = global(N.ResultCounter);
    set_attr(self, N.summary, call(counter_cls));
    set_attr(self, N.pluginsummary, call(counter_cls));
    set_attr(self, N.health_result, nb::none());
    set_attr(self, N.health_summary, call(counter_cls));
    set_attr(self, N.totaltasks, nb::int_(0));
    set_attr(self, N.tasks, nb::list());
}

nb::object runsheaf_result(nb::handle self) {
    return sum_results(get_attr(self, N.tasks), [](nb::handle) { return true; });
}

void runsheaf_stop(nb::handle self, Keywords &kw) {
    static nb::handle zero = nb::int_(0).release();
    nb::object num_tasks = kw.pop(N.num_tasks, zero);
    node_stop(self, kw);
    set_attr(self, N.totaltasks, num_tasks);
    int positive = PyObject_RichCompareBool(num_tasks.ptr(), zero.ptr(), Py_GT);
    check(positive >= 0);
    if (!positive)
        return;
    nb::object plugin_cls = global(N.Plugin);
    size_t started = 0;
    for_each(get_attr(self, N.tasks), [&](nb::handle child) {
        if (!is_instance(child, plugin_cls) && truthy(get_attr(child, N.starttime)))
            ++started;
    });
    nb::object weight = steal_checked(
        PyNumber_TrueDivide(nb::int_(started).ptr(), num_tasks.ptr()));
    set_attr(get_attr(self, N.summary), N.weight, weight);
}

void runsheaf_roll_up(nb::handle self) {
    new_counters(self);
    nb::object plugin_cls = global(N.Plugin);
    for_each(get_attr(self, N.tasks), [&](nb::handle child) {
        PyObject *target = is_instance(child, plugin_cls) ? N.pluginsummary : N.summary;
        add_counts(get_attr(self, target), get_attr(child, N.summary));
        if (!is_none(get_attr(child, N.health_result)))
            take_health(self, child);
    });
}

void task_init(nb::handle self, NodeArgs &args) {
    init_from(self, args);
    nb::object counter_cls = global(N.ResultCounter);
    set_attr(self, N.logfile, nb::none());
    set_attr(self, N.summary, call(counter_cls));
    set_attr(self, N.pluginsummary, call(counter_cls));
    set_attr(self, N.health_result, nb::none());
    set_attr(self, N.health_summary, call(counter_cls));
    set_attr(self, N.sections, nb::list());
}

// A child stopped with a false result_rollup stays out of the task's result.
nb::object task_result(nb::handle self) {
    return sum_results(get_attr(self, N.sections), [](nb::handle child) {
        nb::object flag = get_attr(child, N.result_rollup);
        return is_none(flag) || truthy(flag);
    });
}

nb::object basename(nb::handle path) {
    return call_method(get_attr(global(N.os), N.path), N.basename, path);
}

void task_stop(nb::handle self, Keywords &kw) {
    node_stop(self, kw);
    nb::object logfile = get_attr(self, N.logfile);
    if (truthy(logfile))
        set_attr(self, N.logfile, basename(logfile));
}

void task_roll_up(nb::handle self) {
    new_counters(self);
    nb::object plugin_cls = global(N.Plugin);
    for_each(get_attr(self, N.sections), [&](nb::handle child) {
        if (is_instance(child, plugin_cls)) {
            nb::object child_summary = get_attr(child, N.summary);
            nb::object pluginsummary = get_attr(self, N.pluginsummary);
            if (is_none(child_summary))
                counter_increment(pluginsummary, result_key(get_attr(child, N.result)));
            else
                add_counts(pluginsummary, child_summary);
            return;
        }
        nb::object result = get_attr(child, N.result);
        if (!is_none(result))
            counter_increment(get_attr(self, N.summary), result_key(result));
        if (!is_none(get_attr(child, N.health_result)))
            take_health(self, child);
    });
}

// ---------------------------------------------------------------------------
// Section and Plugin: log positions, measured by size and never opened

nb::object file_size(nb::handle path) {
    return call_method(get_attr(global(N.os), N.path), N.getsize, path);
}

// Runs f; an OSError from it gives `fallback` instead.
template <typename F>
nb::object or_on_oserror(F &&f, long fallback) {
    try {
        return f();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError))
            throw;
        return nb::int_(fallback);
    }
}

void record_log_start(nb::handle node, nb::handle path) {
    nb::object logs = get_attr(node, N.logs);
    set_item(logs, nb::handle(N.file), basename(path));
    set_item(logs, nb::handle(N.begin), or_on_oserror([&] { return file_size(path); }, 0));
}

void record_log_growth(nb::handle node, nb::handle path) {
    nb::object logs = get_attr(node, N.logs);
    nb::object size = or_on_oserror([&] {
        nb::object now = file_size(path);
        return steal_checked(PyNumber_Subtract(
            now.ptr(), get_item(logs, nb::handle(N.begin)).ptr()));
    }, -1);
    set_item(logs, nb::handle(N.size), size);
}

void section_init(nb::handle self, NodeArgs &args) {
    init_from(self, args);
    set_attr(self, N.result, nb::none());
    set_attr(self, N.health_result, nb::none());
    set_attr(self, N.health_summary, call(global(N.ResultCounter)));
    set_attr(self, N.sections, nb::list());
    set_attr(self, N.logfile, nb::none());
    set_attr(self, N.logs, nb::dict());
}

void section_start(nb::handle self, Keywords &kw) {
    set_attr(self, N.logfile, kw.pop(N.logfile, Py_None));
    node_start(self, kw);
    nb::object logfile = get_attr(self, N.logfile);
    if (truthy(logfile))
        record_log_start(self, logfile);
}

void section_stop(nb::handle self, Keywords &kw) {
    node_stop(self, kw);
    nb::object logfile = get_attr(self, N.logfile);
    if (truthy(logfile) && truthy(get_attr(self, N.logs)))
        record_log_growth(self, logfile);
}

void plugin_init(nb::handle self, NodeArgs &args) {
    init_from(self, args);
    set_attr(self, N.sections, nb::list());
    set_attr(self, N.result, nb::none());
    set_attr(self, N.summary, nb::none());
    set_attr(self, N.health_result, nb::none());
    set_attr(self, N.health_summary, call(global(N.ResultCounter)));
    set_attr(self, N.logs, nb::dict());
}

void plugin_start(nb::handle self, Keywords &kw) {
    node_start(self, kw);
    nb::object parent = get_attr(self, N._parent);
    if (is_instance(parent, global(N.Runsheaf)))
        set_attr(self, N.summary, call(global(N.ResultCounter)));
    nb::object logfile = get_attr_or_none(self, N.logfile);
    if (truthy(logfile) && is_instance(parent, global(N.Task)))
        record_log_start(self, logfile);
}

void plugin_stop(nb::handle self, Keywords &kw) {
    nb::object stop_logfile = kw.pop(N.logfile, Py_None);
    node_stop(self, kw);
    nb::object logfile = get_attr_or_none(self, N.logfile);
    if (truthy(logfile)) {
        int differs = PyObject_RichCompareBool(stop_logfile.ptr(), logfile.ptr(), Py_NE);
        check(differs >= 0);
        if (truthy(stop_logfile) && differs) {
            // The plugin moved to another log file: no position can be given.
            if (truthy(get_attr(self, N.logs))) {
                nb::dict logs;
                logs[N.file] = basename(stop_logfile);
                logs[N.begin] = 0;
                logs[N.size] = -1;
                set_attr(self, N.logs, logs);
            }
            set_attr(self, N.logfile, basename(stop_logfile));
        } else {
            if (truthy(get_attr(self, N.logs)))
                record_log_growth(self, logfile);
            set_attr(self, N.logfile, basename(get_attr(self, N.logfile)));
        }
    }
    if (is_none(get_attr(self, N.result)))
        set_attr(self, N.result, global(N.Passed));
}

void plugin_roll_up(nb::handle self) {
    nb::object sections = get_attr(self, N.sections);
    if (truthy(sections))
        set_attr(self, N.summary, call(global(N.ResultCounter)));
    std::vector<nb::object> results;
    for_each(sections, [&](nb::handle child) {
        nb::object result = get_attr(child, N.result);
        if (!is_none(result))
            results.push_back(result);
    });
    for (const nb::object &result : results)
        counter_increment(get_attr(self, N.summary), result_key(result));
}

// ---------------------------------------------------------------------------
// Keyword-only entry points with CPython's fast calling convention: the
// keywords arrive as names and values, and no dict is built for them.

Keywords keywords_only(const char *name, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames) {
    if (nargs) {
        PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", name);
        throw nb::python_error();
    }
    return Keywords(kwnames, args);
}

using FastFunction = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

// start() and stop(): Spec names the method and gives its body.
template <typename Spec>
PyObject *keywords_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        Keywords kw = keywords_only(Spec::name, args, nargs, kwnames);
        Spec::body(self, kw);
        return Py_NewRef(Py_None);
    });
}

// The constructors of Runsheaf, Task, Section and Plugin.
template <typename Spec>
PyObject *init_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        Keywords kw = keywords_only("__init__", args, nargs, kwnames);
        NodeArgs node = node_args(kw, Spec::cls, nb::handle());
        Spec::init(self, node);
        return Py_NewRef(Py_None);
    });
}

// add_task(), add_section() and add_plugin().
template <typename Spec>
PyObject *child_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        Keywords kw = keywords_only(Spec::name, args, nargs, kwnames);
        return add_child(self, kw, Spec::cls(), Spec::list(), Spec::own_init, Spec::init)
            .release()
            .ptr();
    });
}

#define VEXA_BODY(Type, text, fn)                                                   \
    struct Type {                                                                   \
        static constexpr const char *name = text;                                   \
        static void body(nb::handle self, Keywords &kw) { fn(self, kw); }           \
    }
VEXA_BODY(NodeStart, "start", node_start);
VEXA_BODY(NodeStop, "stop", node_stop);
VEXA_BODY(RunsheafStop, "stop", runsheaf_stop);
VEXA_BODY(TaskStop, "stop", task_stop);
VEXA_BODY(SectionStart, "start", section_start);
VEXA_BODY(SectionStop, "stop", section_stop);
VEXA_BODY(PluginStart, "start", plugin_start);
VEXA_BODY(PluginStop, "stop", plugin_stop);
#undef VEXA_BODY

#define VEXA_KIND(Type, text, bit, fn)                                              \
    struct Type {                                                                   \
        static constexpr const char *cls = text;                                    \
        static constexpr uint32_t own_init = bit;                                   \
        static void init(nb::handle self, NodeArgs &args) { fn(self, args); }       \
    }
VEXA_KIND(RunsheafKind, "Runsheaf", INIT_RUNSHEAF, runsheaf_init);
VEXA_KIND(TaskKind, "Task", INIT_TASK, task_init);
VEXA_KIND(SectionKind, "Section", INIT_SECTION, section_init);
VEXA_KIND(PluginKind, "Plugin", INIT_PLUGIN, plugin_init);
#undef VEXA_KIND

template <typename Kind, PyObject *Names::*Cls, PyObject *Names::*List>
struct Child : Kind {
    static constexpr const char *name = Cls == &Names::Task      ? "add_task"
                                        : Cls == &Names::Section ? "add_section"
                                                                 : "add_plugin";
    static PyObject *cls() { return N.*Cls; }
    static PyObject *list() { return N.*List; }
};

// Puts a fast-call method into a built class, where its namespace kept a
// place for it (so the class __dict__ keeps its order). Returns the method.
PyObject *install_fast(nb::handle cls, const char *name, FastFunction fn) {
    // Lives as long as the process: the descriptor points to it.
    auto *def = new PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)),
                                METH_FASTCALL | METH_KEYWORDS, nullptr};
    nb::object descr = steal_checked(PyDescr_NewMethod((PyTypeObject *) cls.ptr(), def));
    check(PyObject_SetAttrString(cls.ptr(), name, descr.ptr()) == 0);
    return descr.ptr();
}

// ---------------------------------------------------------------------------
// Serialization: the node mapping shared by JSON and YAML, and the dict form

// True when VALUE_IGNORE is the list [None, [], {}] the module sets up.
bool usual_value_ignore(nb::handle value_ignore) {
    PyObject *l = value_ignore.ptr();
    return PyList_CheckExact(l) && PyList_GET_SIZE(l) == 3 && PyList_GET_ITEM(l, 0) == Py_None &&
           PyList_CheckExact(PyList_GET_ITEM(l, 1)) && PyList_GET_SIZE(PyList_GET_ITEM(l, 1)) == 0 &&
           PyDict_CheckExact(PyList_GET_ITEM(l, 2)) && PyDict_GET_SIZE(PyList_GET_ITEM(l, 2)) == 0;
}

// True when `value` is a member of VALUE_IGNORE (None, [], {}).
bool ignorable(nb::handle value, nb::handle value_ignore) {
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

namespace fast_json {
bool applies();
nb::object dumps(nb::handle document);
}  // namespace fast_json

nb::object node_dump_json(nb::handle self) {
    nb::object document = header_document(self);
    if (fast_json::applies()) {
        nb::object text = fast_json::dumps(document);
        if (text.is_valid())
            return text;
    }
    nb::dict kw;
    kw["cls"] = global(N.JSONDumper);
    return call_kw(get_attr(global(N.json), N.dumps), nb::make_tuple(document), kw);
}

namespace fast_yaml {
nb::object dump(nb::handle document, nb::handle dump_fn, nb::handle dumper);
}

nb::object node_dump_yaml(nb::handle self) {
    nb::dict kw;
    kw["Dumper"] = global(N.YAMLDumper);
    kw["default_flow_style"] = false;
    nb::object dump = get_attr(global(N.yaml), N.dump);
    nb::object document = header_document(self);
    // The same text written directly, when nothing it mirrors has changed.
    nb::object text = fast_yaml::dump(document, dump, kw["Dumper"]);
    if (text.is_valid())
        return text;
    return call_kw(dump, nb::make_tuple(document), kw);
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

DefiningClass json_dumper_class, yaml_dumper_class;

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
    return call_method(json_dumper_class.super(self), N.default_, obj);
}

// ---------------------------------------------------------------------------
// YAMLDumper and its representers

nb::object yaml_increase_indent(nb::handle self, nb::handle flow, nb::handle /* indentless */) {
    nb::object base = yaml_dumper_class.super(self);
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
    return call_kw(get_attr(dumper, N.represent_scalar),
                   nb::make_tuple(global(N.YAML_STR), text), kw);
}

nb::object float_representer(nb::handle dumper, nb::handle data) {
    nb::object builtins = nb::borrow(PyEval_GetBuiltins());
    nb::object rounded = steal_checked(PyObject_CallFunctionObjArgs(
        get_item(builtins, nb::str("round")).ptr(), data.ptr(),
        global(N.FLOAT_PRECISION).ptr(), nullptr));
    return represent_scalar(dumper, N.YAML_FLT, steal_checked(PyObject_Str(rounded.ptr())));
}

nb::object type_representer(nb::handle dumper, nb::handle data) {
    return represent_scalar(dumper, N.YAML_STR, steal_checked(PyObject_Repr(data.ptr())));
}

nb::object unknown_representer(nb::handle dumper, nb::handle data) {
    nb::dict mapping;
    mapping[N.type] = nb::handle((PyObject *) Py_TYPE(data.ptr()));
    mapping["repr"] = steal_checked(PyObject_Repr(data.ptr()));
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

// ---------------------------------------------------------------------------
// Fast YAML writer
//
// PyYAML's pure-Python emitter is most of dump_yaml's time on large trees.
// This writes the same text straight from the objects: it mirrors the
// representers above, SafeDumper's own representers and implicit resolvers,
// and the parts of PyYAML's emitter that block style with default settings
// reaches, down to its column bookkeeping. dump_yaml uses it only while
// everything it mirrors is as this module set it up (checked on every call);
// otherwise, and for documents nested deeper than it goes, yaml.dump writes.

namespace fast_yaml {

// Thrown when the document needs something only yaml.dump does.
struct Unsupported {};

// T_OTHER: merge, value and yaml, which resolvers give but no node carries.
enum Tag : uint8_t { T_STR, T_INT, T_FLOAT, T_BOOL, T_NULL, T_TIMESTAMP, T_BINARY,
                     T_SEQ, T_MAP, T_SET, T_OTHER };

// Tags as the emitter shortens them. A key's tag counts towards the
// 128-character limit of simple keys even when it is not written.
constexpr std::string_view tag_text[] = {"!!str", "!!int", "!!float", "!!bool",
                                         "!!null", "!!timestamp", "!!binary",
                                         "!!seq", "!!map", "!!set", ""};

constexpr long best_width = 80;
constexpr int best_indent = 2;
// Deeper documents are left to yaml.dump and its recursion limit.
constexpr int max_depth = 1000;

inline bool is_break(Py_UCS4 c) { return c == '\n' || c == 0x85 || c == 0x2028 || c == 0x2029; }
// The emitter's "\0 \t\r\n\x85\u2028\u2029"
inline bool is_blank_or_break(Py_UCS4 c) {
    return c == 0 || c == ' ' || c == '\t' || c == '\r' || is_break(c);
}
inline bool is_digit(Py_UCS4 c) { return c >= '0' && c <= '9'; }
inline bool is_printable_ascii(Py_UCS4 c) { return c >= 0x20 && c <= 0x7E; }

// ---- SafeDumper's implicit resolvers, as matchers of whole texts

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

// (?:[eE][-+][0-9]+)? and the end of the text
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

// (?::[0-5]?[0-9])+, advancing i
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

// One or more characters from i to the end, all accepted by ok.
template <class C>
bool rest_is(const C *s, Py_ssize_t i, Py_ssize_t n, bool (*ok)(Py_UCS4)) {
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
            return rest_is(s, i + 2, n, [](Py_UCS4 c) { return c == '0' || c == '1' || c == '_'; });
        if (s[i + 1] == 'x')
            return rest_is(s, i + 2, n, [](Py_UCS4 c) {
                return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '_';
            });
        return rest_is(s, i + 1, n, [](Py_UCS4 c) { return (c >= '0' && c <= '7') || c == '_'; });
    }
    if (s[i] < '1' || s[i] > '9')
        return false;
    i = skip_digits_underscores(s, i + 1, n);
    if (i == n)
        return true;
    return sexagesimal(s, i, n) && i == n;
}

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

// The tag a plain scalar with this text would be read back as; T_STR when no
// resolver takes it.
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
        return is_float(s, n) ? T_FLOAT
               : is_int(s, n) ? T_INT
               : is_timestamp(s, n) ? T_TIMESTAMP : T_STR;
    case '<':
        return equals(s, n, "<<") ? T_OTHER : T_STR;  // merge
    case '=': case '!': case '&': case '*':
        return n == 1 ? T_OTHER : T_STR;  // value, and the "yaml" tag
    default:
        return T_STR;
    }
}

// ---- the emitter's analyze_scalar, with allow_unicode off

struct Analysis {
    bool empty = false;
    bool multiline = false;
    bool allow_plain = false;  // block plain: scalars never sit in a flow collection here
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
            switch (c) {
            case '#': case ',': case '[': case ']': case '{': case '}': case '&': case '*':
            case '!': case '|': case '>': case '\'': case '"': case '%': case '@': case '`':
                indicators = true;
            }
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
            special = true;  // everything else is escaped, so double-quoted
        if (c == ' ') {
            leading_space |= i == 0;
            trailing_space |= i == n - 1;
            break_space |= previous_break;
            previous_space = true;
            previous_break = false;
        } else if (is_break(c)) {
            leading_break |= i == 0;
            trailing_break |= i == n - 1;
            space_break |= previous_space;
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

// ---- YAMLDumper and the module as they were at import

struct Snapshot {
    nb::object yaml, dump, dump_all, dumper, mro, round;
    std::vector<std::pair<nb::object, nb::object>> class_dicts;  // class, copy of its dict
    nb::object representers, representers_copy;
    nb::object multi_representers, path_resolvers;
    nb::object implicit_resolvers, implicit_resolvers_copy;
    nb::object escapes, escapes_copy, prefixes, prefixes_copy;
    std::vector<std::pair<PyObject *, nb::object>> constants;  // name, value
    nb::object result_counter, test_result, attr_dict, nodes[4];
    nb::object encodebytes;
};

// Taken at import when the dumper is one this writer mirrors; released at
// interpreter exit.
Snapshot *snapshot = nullptr;
PyObject *repr_name = nullptr, *utcoffset_name = nullptr, *round_name = nullptr;

nb::object attr(nb::handle obj, const char *name) {
    return steal_checked(PyObject_GetAttrString(obj.ptr(), name));
}

nb::object class_dict(nb::handle cls) {
#if PY_VERSION_HEX >= 0x030C0000
    return steal_checked(PyType_GetDict((PyTypeObject *) cls.ptr()));
#else
    return nb::borrow(((PyTypeObject *) cls.ptr())->tp_dict);
#endif
}

nb::object dict_copy(nb::handle d) { return steal_checked(PyDict_Copy(d.ptr())); }

bool starts_with(nb::handle text, const char *prefix) {
    if (!PyUnicode_Check(text.ptr()))
        return false;
    Py_ssize_t r = PyUnicode_Tailmatch(text.ptr(), nb::str(prefix).ptr(), 0,
                                       (Py_ssize_t) std::strlen(prefix), -1);
    check(r >= 0);
    return r == 1;
}

// The same keys bound to the very same objects.
bool same_items(nb::handle live, nb::handle copy) {
    if (!PyDict_CheckExact(live.ptr()) || PyDict_GET_SIZE(live.ptr()) != PyDict_GET_SIZE(copy.ptr()))
        return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(copy.ptr(), &pos, &key, &value)) {
        if (PyDict_GetItemWithError(live.ptr(), key) != value) {
            check(!PyErr_Occurred());
            return false;
        }
    }
    return true;
}

// What the classes of type's MRO define for `name` (the first one found),
// without binding it; null when none does.
PyObject *class_attribute(PyTypeObject *type, const char *name) {
    nb::str key(name);
    PyObject *mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject *found = PyDict_GetItemWithError(class_dict(PyTuple_GET_ITEM(mro, i)).ptr(), key.ptr());
        if (found)
            return found;  // the class dicts keep it alive
        check(!PyErr_Occurred());
    }
    return nullptr;
}

// The resolver table (first character -> list of (tag, regexp)), with
// tuples for lists.
nb::object freeze_resolvers(nb::handle live) {
    nb::object copy = steal_checked(PyDict_New());
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(live.ptr(), &pos, &key, &value))
        set_item(copy, key, steal_checked(PySequence_Tuple(value)));
    return copy;
}

bool same_resolvers(nb::handle live, nb::handle frozen) {
    if (!PyDict_CheckExact(live.ptr()) || PyDict_GET_SIZE(live.ptr()) != PyDict_GET_SIZE(frozen.ptr()))
        return false;
    Py_ssize_t pos = 0;
    PyObject *key, *entries;
    while (PyDict_Next(frozen.ptr(), &pos, &key, &entries)) {
        PyObject *list = PyDict_GetItemWithError(live.ptr(), key);
        if (!list || !PyList_CheckExact(list) || PyList_GET_SIZE(list) != PyTuple_GET_SIZE(entries)) {
            check(!PyErr_Occurred());
            return false;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(entries); ++i)
            if (PyList_GET_ITEM(list, i) != PyTuple_GET_ITEM(entries, i))
                return false;
    }
    return true;
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
        std::string tags;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            PyObject *entry = PyList_GET_ITEM(list, i);
            if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2)
                return false;
            std::string name = ascii(PyTuple_GET_ITEM(entry, 0));
            if (name.rfind("tag:yaml.org,2002:", 0) != 0)
                return false;
            name.erase(0, std::strlen("tag:yaml.org,2002:"));
            std::string text = squeezed(attr(PyTuple_GET_ITEM(entry, 1), "pattern"));
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
            fn = attr(value, "__func__");
        if (PyFunction_Check(fn.ptr()) && !starts_with(PyFunction_GetModule(fn.ptr()), "yaml."))
            return false;
    }
    return true;
}

// YAMLDumper derives from SafeDumper alone and adds only its two methods and
// its representer table.
bool pristine_classes(Snapshot &s) {
    if (Py_TYPE(s.dumper.ptr()) != &PyType_Type)
        return false;
    s.mro = attr(s.dumper, "__mro__");
    const std::pair<const char *, const char *> line[] = {
        {"yaml.dumper", "SafeDumper"},           {"yaml.emitter", "Emitter"},
        {"yaml.serializer", "Serializer"},       {"yaml.representer", "SafeRepresenter"},
        {"yaml.representer", "BaseRepresenter"}, {"yaml.resolver", "Resolver"},
        {"yaml.resolver", "BaseResolver"}};
    PyObject *mro = s.mro.ptr();
    if (!PyTuple_CheckExact(mro) || PyTuple_GET_SIZE(mro) != 9 ||
        PyTuple_GET_ITEM(mro, 0) != s.dumper.ptr() ||
        PyTuple_GET_ITEM(mro, 8) != (PyObject *) &PyBaseObject_Type)
        return false;
    for (int i = 0; i < 7; ++i) {
        nb::object cls = nb::module_::import_(line[i].first).attr(line[i].second);
        if (PyTuple_GET_ITEM(mro, i + 1) != cls.ptr() || !from_pyyaml(cls))
            return false;
    }
    nb::object own = class_dict(s.dumper);
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
    for (int i = 0; i < 8; ++i) {
        nb::handle cls = PyTuple_GET_ITEM(mro, i);
        s.class_dicts.emplace_back(nb::borrow(cls), dict_copy(class_dict(cls)));
    }
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

// The representer table is SafeDumper's with this module's registrations,
// and nothing else.
bool pristine_representers(Snapshot &s, nb::handle module) {
    s.representers = attr(s.dumper, "yaml_representers");
    if (!PyDict_CheckExact(s.representers.ptr()))
        return false;
    nb::object safe = nb::module_::import_("yaml.representer").attr("SafeRepresenter");
    nb::object datetime_mod = nb::module_::import_("datetime");
    s.result_counter = module.attr("ResultCounter");
    s.test_result = module.attr("TestResult");
    s.attr_dict = module.attr("AttrDict");
    const char *node_classes[] = {"Runsheaf", "Task", "Section", "Plugin"};
    nb::dict want;
    auto type = [](PyTypeObject *t) { return nb::handle((PyObject *) t); };
    want[type(Py_TYPE(Py_None))] = attr(safe, "represent_none");
    want[type(&PyBytes_Type)] = attr(safe, "represent_binary");
    want[type(&PyBool_Type)] = attr(safe, "represent_bool");
    want[type(&PyLong_Type)] = attr(safe, "represent_int");
    want[type(&PyList_Type)] = attr(safe, "represent_list");
    want[type(&PyTuple_Type)] = attr(safe, "represent_list");
    want[type(&PyDict_Type)] = attr(safe, "represent_dict");
    want[type(&PySet_Type)] = attr(safe, "represent_set");
    want[datetime_mod.attr("date")] = attr(safe, "represent_date");
    want[datetime_mod.attr("datetime")] = attr(safe, "represent_datetime");
    want[type(&PyUnicode_Type)] = module.attr("str_representer");
    want[type(&PyFloat_Type)] = module.attr("float_representer");
    want[type(&PyType_Type)] = module.attr("type_representer");
    want[nb::none()] = module.attr("unknown_representer");
    want[s.result_counter] = module.attr("ResultCounter_representer");
    want[s.test_result] = module.attr("TestResult_representer");
    want[s.attr_dict] = module.attr("AttrDict_representer");
    for (int i = 0; i < 4; ++i) {
        s.nodes[i] = module.attr(node_classes[i]);
        want[s.nodes[i]] = attr(s.nodes[i], "to_yaml");
    }
    if (PyDict_GET_SIZE(want.ptr()) != PyDict_GET_SIZE(s.representers.ptr()))
        return false;
    Py_ssize_t pos = 0;
    PyObject *key, *expected;
    while (PyDict_Next(want.ptr(), &pos, &key, &expected)) {
        PyObject *have = PyDict_GetItemWithError(s.representers.ptr(), key);
        check(have || !PyErr_Occurred());
        if (!have || (have != expected && !same_method(have, expected)))
            return false;
    }
    s.representers_copy = dict_copy(s.representers);
    s.multi_representers = attr(s.dumper, "yaml_multi_representers");
    return PyDict_CheckExact(s.multi_representers.ptr()) &&
           PyDict_GET_SIZE(s.multi_representers.ptr()) == 0;
}

// The resolvers, escapes and tag handles the emitter works with.
bool pristine_emitter_tables(Snapshot &s) {
    s.path_resolvers = attr(s.dumper, "yaml_path_resolvers");
    s.implicit_resolvers = attr(s.dumper, "yaml_implicit_resolvers");
    if (!PyDict_CheckExact(s.path_resolvers.ptr()) || PyDict_GET_SIZE(s.path_resolvers.ptr()) ||
        !pristine_resolvers(s.implicit_resolvers))
        return false;
    s.implicit_resolvers_copy = freeze_resolvers(s.implicit_resolvers);

    nb::dict escapes, prefixes;
    const std::pair<int, char> letters[] = {
        {0, '0'},   {7, 'a'},     {8, 'b'},      {9, 't'},    {10, 'n'},
        {11, 'v'},  {12, 'f'},    {13, 'r'},     {27, 'e'},   {'"', '"'},
        {'\\', '\\'}, {0x85, 'N'}, {0xA0, '_'}, {0x2028, 'L'}, {0x2029, 'P'}};
    for (auto [c, letter] : letters)
        escapes[steal_checked(PyUnicode_FromOrdinal(c))] = nb::str(&letter, 1);
    prefixes["!"] = "!";
    prefixes["tag:yaml.org,2002:"] = "!!";
    s.escapes = attr(s.dumper, "ESCAPE_REPLACEMENTS");
    s.prefixes = attr(s.dumper, "DEFAULT_TAG_PREFIXES");
    if (!PyDict_CheckExact(s.escapes.ptr()) || !PyDict_CheckExact(s.prefixes.ptr()) ||
        !equal(s.escapes, escapes) || !equal(s.prefixes, prefixes))
        return false;
    s.escapes_copy = dict_copy(s.escapes);
    s.prefixes_copy = dict_copy(s.prefixes);
    return true;
}

// The module constants the representers read each time they run.
bool pristine_constants(Snapshot &s) {
    const std::pair<PyObject *, const char *> tags[] = {{N.YAML_MAP, "tag:yaml.org,2002:map"},
                                                        {N.YAML_STR, "tag:yaml.org,2002:str"},
                                                        {N.YAML_FLT, "tag:yaml.org,2002:float"}};
    for (auto [name, text] : tags) {
        nb::object value = global(name);
        if (!PyUnicode_CheckExact(value.ptr()) || !equal(value, nb::str(text)))
            return false;
        s.constants.emplace_back(name, value);
    }
    nb::object precision = global(N.FLOAT_PRECISION);
    if (!PyLong_CheckExact(precision.ptr()) || !equal(precision, nb::int_(2)))
        return false;
    s.constants.emplace_back(N.FLOAT_PRECISION, precision);
    s.round = get_item(nb::borrow(PyEval_GetBuiltins()), round_name);
    return true;
}

// Called once, at the end of the module's import.
void capture(nb::handle module) {
    PyDateTime_IMPORT;
    check(PyDateTimeAPI != nullptr);
    repr_name = interned("repr");
    utcoffset_name = interned("utcoffset");
    round_name = interned("round");
    auto s = std::make_unique<Snapshot>();
    s->yaml = global(N.yaml);
    s->dumper = global(N.YAMLDumper);
    s->dump = get_attr(s->yaml, N.dump);
    s->dump_all = attr(s->yaml, "dump_all");
    if (!starts_with(attr(s->yaml, "__version__"), "6.0.") || !pristine_classes(*s) ||
        !pristine_representers(*s, module) || !pristine_emitter_tables(*s) ||
        !pristine_constants(*s))
        return;
    s->encodebytes = nb::module_::import_("base64").attr("encodebytes");
    snapshot = s.release();
    nb::module_::import_("atexit").attr("register")(nb::cpp_function([] {
        delete snapshot;
        snapshot = nullptr;
    }));
}

// The module global `name`, or null when it is gone.
PyObject *module_global(PyObject *name) {
    PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(scope.module().ptr()), name);
    check(value || !PyErr_Occurred());
    return value;
}

// Whether yaml.dump(..., Dumper=dumper) would still write what this writer
// writes: all of the snapshot still holds.
bool applies(const Snapshot &s, nb::handle dump_fn, nb::handle dumper) {
    if (dump_fn.ptr() != s.dump.ptr() || dumper.ptr() != s.dumper.ptr())
        return false;
    for (const auto &[name, value] : s.constants)
        if (module_global(name) != value.ptr())
            return false;
    PyObject *round = PyDict_GetItemWithError(PyEval_GetBuiltins(), round_name);
    check(round || !PyErr_Occurred());
    if (round != s.round.ptr() || attr(s.yaml, "dump_all").ptr() != s.dump_all.ptr() ||
        attr(s.dumper, "__mro__").ptr() != s.mro.ptr())
        return false;
    for (const auto &[cls, copy] : s.class_dicts)
        if (!same_items(class_dict(cls), copy))
            return false;
    return same_items(s.representers, s.representers_copy) &&
           PyDict_GET_SIZE(s.multi_representers.ptr()) == 0 &&
           PyDict_GET_SIZE(s.path_resolvers.ptr()) == 0 &&
           same_resolvers(s.implicit_resolvers, s.implicit_resolvers_copy) &&
           equal(s.escapes, s.escapes_copy) && equal(s.prefixes, s.prefixes_copy);
}

// ---- representation: an object as the representers turn it into a node

using Pairs = std::vector<std::pair<nb::object, nb::object>>;

struct Rep {
    enum Kind : uint8_t { SCALAR, SEQ, MAP } kind = SCALAR;
    Tag tag = T_STR;
    bool literal = false;  // str_representer asked for style '|'
    int width = PyUnicode_1BYTE_KIND;
    const void *data = nullptr;
    Py_ssize_t len = 0;    // characters of a scalar
    nb::object keep;       // owns the text, or the sequence
    std::string chars;     // text made here
    Pairs pairs;           // a mapping's items, in writing order
};

template <class F>
decltype(auto) with_chars(const Rep &r, F &&f) {
    switch (r.width) {
    case PyUnicode_1BYTE_KIND: return f((const Py_UCS1 *) r.data);
    case PyUnicode_2BYTE_KIND: return f((const Py_UCS2 *) r.data);
    default: return f((const Py_UCS4 *) r.data);
    }
}

// str_representer's clean-up: every line rstripped as str.rstrip() does
template <class C>
void strip_lines(const C *s, Py_ssize_t n, std::string &out) {
    const C newline = '\n';
    out.reserve((size_t) n * sizeof(C));
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

// Code point order, as str's < compares.
int compare_str(PyObject *a, PyObject *b) {
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
    return la < lb ? -1 : la > lb;
}

// represent_mapping's sorted() of the (key, value) tuples, keeping the given
// order when the keys cannot be ordered (TypeError).
void sort_pairs(Pairs &pairs) {
    bool str_keys = std::all_of(pairs.begin(), pairs.end(), [](const auto &p) {
        return PyUnicode_CheckExact(p.first.ptr());
    });
    if (str_keys) {
        // the keys of one mapping differ, so they alone decide the order
        std::sort(pairs.begin(), pairs.end(), [](const auto &a, const auto &b) {
            return compare_str(a.first.ptr(), b.first.ptr()) < 0;
        });
        return;
    }
    nb::object list = steal_checked(PyList_New((Py_ssize_t) pairs.size()));
    for (size_t i = 0; i < pairs.size(); ++i)
        PyList_SET_ITEM(list.ptr(), (Py_ssize_t) i,
                        steal_checked(PyTuple_Pack(2, pairs[i].first.ptr(), pairs[i].second.ptr()))
                            .release().ptr());
    if (PyList_Sort(list.ptr()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw nb::python_error();
        PyErr_Clear();
        return;
    }
    for (size_t i = 0; i < pairs.size(); ++i) {
        PyObject *item = PyList_GET_ITEM(list.ptr(), (Py_ssize_t) i);
        pairs[i] = {nb::borrow(PyTuple_GET_ITEM(item, 0)), nb::borrow(PyTuple_GET_ITEM(item, 1))};
    }
}

// list(d.items()) of an exact dict
void dict_pairs(nb::handle dict, Pairs &pairs) {
    pairs.reserve((size_t) PyDict_GET_SIZE(dict.ptr()));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict.ptr(), &pos, &key, &value))
        pairs.emplace_back(nb::borrow(key), nb::borrow(value));
}

// list(obj.items()), each item unpacked as `for k, v in ...` does
void items_pairs(nb::handle obj, Pairs &pairs) {
    nb::object items = steal_checked(PySequence_List(call_method(obj, N.items).ptr()));
    pairs.reserve((size_t) PyList_GET_SIZE(items.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i)
        pairs.push_back(unpack_pair(PyList_GET_ITEM(items.ptr(), i)));
}

enum Style : uint8_t { PLAIN, SINGLE, DOUBLE, LITERAL };
enum Context : uint8_t { ROOT = 1, IN_SEQUENCE = 2, IN_MAPPING = 4, SIMPLE_KEY = 8 };

class Writer {
public:
    explicit Writer(const Snapshot &s) : s_(s) {}

    nb::object document(nb::handle root) {
        node(root, ROOT);
        write_indent();  // document end
        if (open_ended_) {
            indicator("...", true);
            write_indent();
        }
        // Only printable ASCII and line breaks get written (allow_unicode is off).
        return steal_checked(PyUnicode_DecodeASCII(out_.data(), (Py_ssize_t) out_.size(), nullptr));
    }

private:
    const Snapshot &s_;
    std::string out_;
    int indent_ = -1;  // the emitter's None
    long column_ = 0;
    bool whitespace_ = true, indention_ = true, open_ended_ = false;
    int depth_ = 0;
    std::vector<nb::object> metaclasses_;  // checked by plain_metaclass

    // One level of nesting of the user's data.
    class Level {
    public:
        explicit Level(Writer &w) : w_(w) {
            if (w_.depth_ >= max_depth)
                throw Unsupported();
            if (Py_EnterRecursiveCall(" while writing YAML"))
                throw nb::python_error();
            ++w_.depth_;
        }
        ~Level() {
            --w_.depth_;
            Py_LeaveRecursiveCall();
        }
        Level(const Level &) = delete;
        Level &operator=(const Level &) = delete;

    private:
        Writer &w_;
    };

    // ---- the emitter's write_* primitives

    void write(std::string_view text) {
        out_.append(text);
        column_ += (long) text.size();
    }

    template <class C>
    void write(const C *s, Py_ssize_t n, bool count_columns = true) {
        if constexpr (sizeof(C) == 1) {
            out_.append((const char *) s, (size_t) n);
        } else {
            for (Py_ssize_t i = 0; i < n; ++i)
                out_ += (char) s[i];  // printable ASCII only
        }
        if (count_columns)
            column_ += (long) n;
    }

    void indicator(std::string_view text, bool need_whitespace, bool whitespace = false,
                   bool indention = false) {
        if (!whitespace_ && need_whitespace) {
            out_ += ' ';
            ++column_;
        }
        write(text);
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

    static void set_text(Rep &r, Tag tag, nb::object str) {
        r.tag = tag;
        r.keep = std::move(str);
        r.width = PyUnicode_KIND(r.keep.ptr());
        r.data = PyUnicode_DATA(r.keep.ptr());
        r.len = PyUnicode_GET_LENGTH(r.keep.ptr());
    }

    static void set_ascii(Rep &r, Tag tag, std::string_view text) {
        r.tag = tag;
        r.chars.assign(text);
        r.data = r.chars.data();
        r.len = (Py_ssize_t) r.chars.size();
    }

    static void set_mapping(Rep &r, Tag tag) {
        r.kind = Rep::MAP;
        r.tag = tag;
    }

    // Dispatch on the exact type, as PyYAML looks up yaml_representers.
    void represent(nb::handle obj, Rep &r) {
        PyObject *o = obj.ptr();
        PyTypeObject *type = Py_TYPE(o);
        if (type == &PyUnicode_Type)
            represent_str(obj, r);
        else if (type == &PyLong_Type)
            represent_int(obj, r);
        else if (type == &PyFloat_Type)
            represent_float(obj, r);
        else if (type == &PyBool_Type)
            set_ascii(r, T_BOOL, o == Py_True ? "true" : "false");
        else if (o == Py_None)
            set_ascii(r, T_NULL, "null");
        else if (type == &PyList_Type || type == &PyTuple_Type) {
            r.kind = Rep::SEQ;
            r.tag = T_SEQ;
            r.keep = nb::borrow(obj);
        } else if (type == &PyDict_Type) {
            set_mapping(r, T_MAP);
            dict_pairs(obj, r.pairs);
            sort_pairs(r.pairs);
        }
        else if (type == PyDateTimeAPI->DateTimeType)
            represent_datetime(obj, r);
        else if (type == PyDateTimeAPI->DateType) {
            char buf[16];
            set_ascii(r, T_TIMESTAMP, date_text(o, buf));
        } else if (type == &PyType_Type)
            set_text(r, T_STR, steal_checked(PyObject_Repr(o)));  // type_representer
        else if (type == &PySet_Type)
            represent_set(obj, r);
        else if (type == &PyBytes_Type) {
            nb::object base64 = s_.encodebytes(obj);
            set_text(r, T_BINARY, steal_checked(PyUnicode_FromEncodedObject(base64.ptr(), "ascii", nullptr)));
            r.literal = true;
        } else if (!plain_metaclass(Py_TYPE((PyObject *) type)))
            throw Unsupported();
        else if ((PyObject *) type == s_.result_counter.ptr())
            represent_counter(obj, r);
        else if ((PyObject *) type == s_.test_result.ptr())
            represent_result(obj, r);
        else if ((PyObject *) type == s_.attr_dict.ptr()) {
            set_mapping(r, T_MAP);
            items_pairs(obj, r.pairs);
            sort_pairs(r.pairs);
        } else if (is_node_class(type)) {
            // to_yaml: the node mapping rule, in _ARG_ORDER order
            set_mapping(r, T_MAP);
            for_each_node_pair(obj, [&](nb::handle name, nb::handle value) {
                r.pairs.emplace_back(nb::borrow(name), nb::borrow(value));
            });
        } else
            represent_unknown(obj, r);
    }

    // PyYAML finds a representer by type(x).__mro__[0] in a dict. A
    // metaclass that keeps type's __mro__, mro, __eq__ and __hash__ makes that
    // the exact type, as here.
    bool plain_metaclass(PyTypeObject *meta) {
        if (meta == &PyType_Type)
            return true;
        for (const nb::object &known : metaclasses_)
            if (known.ptr() == (PyObject *) meta)
                return true;
        for (const char *name : {"__mro__", "mro", "__eq__", "__hash__"})
            if (class_attribute(meta, name) != class_attribute(&PyType_Type, name))
                return false;
        metaclasses_.push_back(nb::borrow((PyObject *) meta));
        return true;
    }

    bool is_node_class(PyTypeObject *type) const {
        for (const nb::object &cls : s_.nodes)
            if ((PyObject *) type == cls.ptr())
                return true;
        return false;
    }

    static void represent_str(nb::handle obj, Rep &r) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(obj.ptr());
        Py_ssize_t newline = PyUnicode_FindChar(obj.ptr(), '\n', 0, n, 1);
        check(newline != -2);
        if (newline < 0) {
            set_text(r, T_STR, nb::borrow(obj));
            return;
        }
        r.literal = true;
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

    static void represent_int(nb::handle obj, Rep &r) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(obj.ptr(), &overflow);
        if (overflow) {
            set_text(r, T_INT, steal_checked(PyObject_Str(obj.ptr())));
            return;
        }
        char buf[24];
        char *end = std::to_chars(buf, buf + sizeof buf, value).ptr;
        set_ascii(r, T_INT, std::string_view(buf, (size_t) (end - buf)));
    }

    // str(round(x, 2)). round() gives the double nearest to the correctly
    // rounded two-decimal text (ties to even), which parsing that text gives;
    // str() is the shortest text that reads back, in repr's layout.
    static void represent_float(nb::handle obj, Rep &r) {
        double x = PyFloat_AS_DOUBLE(obj.ptr());
        if (std::isnan(x) || std::isinf(x)) {
            set_ascii(r, T_FLOAT, std::isnan(x) ? "nan" : x > 0 ? "inf" : "-inf");
            return;
        }
        char fixed[400];  // DBL_MAX has 309 digits
        char *end = std::to_chars(fixed, fixed + sizeof fixed, x, std::chars_format::fixed, 2).ptr;
        double rounded = 0;
        std::from_chars(fixed, end, rounded);
        char sci[40];
        end = std::to_chars(sci, sci + sizeof sci, rounded, std::chars_format::scientific).ptr;
        std::string_view text(sci, (size_t) (end - sci));
        std::string &out = r.chars;
        if (text[0] == '-') {
            out += '-';
            text.remove_prefix(1);
        }
        size_t e = text.find('e');
        std::string digits(text.substr(0, e));
        if (digits.size() > 1)
            digits.erase(1, 1);  // the '.'
        const char *exponent_text = text.data() + e + 1;
        int exponent = 0;
        std::from_chars(exponent_text + (*exponent_text == '+'), end, exponent);
        int point = exponent + 1, n = (int) digits.size();
        if (point > -4 && point <= 16) {
            if (point <= 0)
                out.append("0.").append((size_t) -point, '0').append(digits);
            else if (point >= n)
                out.append(digits).append((size_t) (point - n), '0').append(".0");
            else
                out.append(digits, 0, (size_t) point).append(".").append(digits, (size_t) point);
        } else {
            out += digits[0];
            if (n > 1)
                out.append(".").append(digits, 1);
            out += exponent < 0 ? "e-" : "e+";
            if (std::abs(exponent) < 10)
                out += '0';
            out += std::to_string(std::abs(exponent));
        }
        r.tag = T_FLOAT;
        r.data = out.data();
        r.len = (Py_ssize_t) out.size();
    }

    // Zero-padded decimal digits, for the date and time fields.
    static char *digits(char *p, long value, int width) {
        for (int i = width - 1; i >= 0; --i, value /= 10)
            p[i] = char('0' + value % 10);
        return p + width;
    }

    static std::string_view date_text(PyObject *o, char *buf) {
        char *p = digits(buf, PyDateTime_GET_YEAR(o), 4);
        *p++ = '-';
        p = digits(p, PyDateTime_GET_MONTH(o), 2);
        *p++ = '-';
        p = digits(p, PyDateTime_GET_DAY(o), 2);
        return {buf, (size_t) (p - buf)};
    }

    // isoformat(' '). A tzinfo other than a fixed offset may do anything in
    // utcoffset(), so Python formats those.
    static void represent_datetime(nb::handle obj, Rep &r) {
        PyObject *o = obj.ptr();
        PyObject *tzinfo = PyDateTime_DATE_GET_TZINFO(o);
        nb::object offset;
        if (tzinfo != Py_None) {
            if (Py_TYPE(tzinfo) != Py_TYPE(PyDateTimeAPI->TimeZone_UTC)) {
                set_text(r, T_TIMESTAMP, steal_checked(PyObject_CallMethod(o, "isoformat", "s", " ")));
                return;
            }
            offset = call_method(tzinfo, utcoffset_name, obj);
        }
        char buf[64];
        char *p = buf + date_text(o, buf).size();
        *p++ = ' ';
        p = digits(p, PyDateTime_DATE_GET_HOUR(o), 2);
        *p++ = ':';
        p = digits(p, PyDateTime_DATE_GET_MINUTE(o), 2);
        *p++ = ':';
        p = digits(p, PyDateTime_DATE_GET_SECOND(o), 2);
        if (int us = PyDateTime_DATE_GET_MICROSECOND(o)) {
            *p++ = '.';
            p = digits(p, us, 6);
        }
        if (offset.is_valid() && PyDelta_Check(offset.ptr())) {
            long long us = ((long long) PyDateTime_DELTA_GET_DAYS(offset.ptr()) * 86400 +
                            PyDateTime_DELTA_GET_SECONDS(offset.ptr())) * 1000000 +
                           PyDateTime_DELTA_GET_MICROSECONDS(offset.ptr());
            *p++ = us < 0 ? '-' : '+';
            us = us < 0 ? -us : us;
            long seconds = (long) (us / 1000000);
            p = digits(p, seconds / 3600, 2);
            *p++ = ':';
            p = digits(p, seconds / 60 % 60, 2);
            if (seconds % 60 || us % 1000000) {
                *p++ = ':';
                p = digits(p, seconds % 60, 2);
            }
            if (us % 1000000) {
                *p++ = '.';
                p = digits(p, (long) (us % 1000000), 6);
            }
        }
        set_ascii(r, T_TIMESTAMP, std::string_view(buf, (size_t) (p - buf)));
    }

    // SafeRepresenter.represent_set: the members as keys of nulls
    static void represent_set(nb::handle obj, Rep &r) {
        nb::object members = steal_checked(PyDict_New());
        for (nb::handle member : obj)
            set_item(members, member, nb::none());
        set_mapping(r, T_SET);
        dict_pairs(members, r.pairs);
        sort_pairs(r.pairs);
    }

    static void represent_counter(nb::handle obj, Rep &r) {
        set_mapping(r, T_MAP);
        items_pairs(obj, r.pairs);
        r.pairs.emplace_back(nb::borrow(N.total), get_attr(obj, N.total));
        r.pairs.emplace_back(nb::borrow(N.success_rate), get_attr(obj, N.success_rate));
    }

    // A dict sorted by PyYAML: data, reason, value
    static void represent_result(nb::handle obj, Rep &r) {
        nb::object value = get_attr(obj, N.value);
        nb::object reason = get_attr(obj, N.reason);
        bool with_reason = truthy(reason);
        nb::object data = get_attr(obj, N.data);
        bool with_data = truthy(data);
        set_mapping(r, T_MAP);
        if (with_data)
            r.pairs.emplace_back(nb::borrow(N.data), data);
        if (with_reason)
            r.pairs.emplace_back(nb::borrow(N.reason), reason);
        r.pairs.emplace_back(nb::borrow(N.value), value);
    }

    // A dict sorted by PyYAML: repr, type
    static void represent_unknown(nb::handle obj, Rep &r) {
        nb::object text = steal_checked(PyObject_Repr(obj.ptr()));
        set_mapping(r, T_MAP);
        r.pairs.emplace_back(nb::borrow(repr_name), text);
        r.pairs.emplace_back(nb::borrow(N.type), nb::borrow((PyObject *) Py_TYPE(obj.ptr())));
    }

    // ---- the emitter's states for block style

    void node(nb::handle obj, int context) {
        Rep r;
        represent(obj, r);
        if (r.kind == Rep::SCALAR)
            scalar(r, context, analysis(r));
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
        return length < 128 && empty(r);
    }

    static bool empty(const Rep &r) {
        return r.kind == Rep::SEQ ? PySequence_Fast_GET_SIZE(r.keep.ptr()) == 0 : r.pairs.empty();
    }

    // Scalars do not nest, so collections are where depth is guarded.
    void collection(const Rep &r) {
        Level level(*this);
        if (r.tag == T_SET)
            indicator(tag_text[T_SET], true);
        bool sequence = r.kind == Rep::SEQ;
        if (empty(r)) {  // flow style, the only place the emitter uses it here
            indicator(sequence ? "[" : "{", true, true);
            indicator(sequence ? "]" : "}", false);
            return;
        }
        int saved = indent_;
        indent_ = indent_ < 0 ? 0 : indent_ + best_indent;  // never indentless
        if (sequence)
            block_sequence(r.keep);
        else
            block_mapping(r.pairs);
        indent_ = saved;
    }

    void block_sequence(nb::handle seq) {
        // a list is read as its iterator reads it, length checked each time
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i) {
            nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), i));
            write_indent();
            indicator("-", true, false, true);
            node(item, IN_SEQUENCE);
        }
    }

    void block_mapping(const Pairs &pairs) {
        for (const auto &[key, value] : pairs) {
            write_indent();
            if (mapping_key(key)) {
                indicator(":", false);
            } else {
                write_indent();
                indicator(":", true, false, true);
            }
            node(value, IN_MAPPING);
        }
    }

    // Writes a key: a simple key when it can be one (true), else after "?".
    bool mapping_key(nb::handle key) {
        Rep r;
        represent(key, r);
        Analysis a;
        if (r.kind == Rep::SCALAR)
            a = analysis(r);
        bool simple = simple_key(r, a);
        if (!simple)
            indicator("?", true, false, true);
        if (r.kind == Rep::SCALAR)
            scalar(r, simple ? IN_MAPPING | SIMPLE_KEY : IN_MAPPING, a);
        else
            collection(r);
        return simple;
    }

    // choose_scalar_style outside flow collections
    static Style choose_style(const Rep &r, const Analysis &a, bool implicit_plain, int context) {
        bool key = context & SIMPLE_KEY;
        if (!r.literal && implicit_plain && !(key && (a.empty || a.multiline)) && a.allow_plain)
            return PLAIN;
        if (r.literal && !key && a.allow_block)
            return LITERAL;
        if (!r.literal && a.allow_single && !(key && a.multiline))
            return SINGLE;
        return DOUBLE;
    }

    void scalar(const Rep &r, int context, const Analysis &a) {
        with_chars(r, [&](auto s) {
            // Plain text keeps its tag implicit when it reads back as that
            // tag; quoted and block text only when the tag is str.
            bool implicit_plain = resolve(s, r.len) == r.tag;
            Style style = choose_style(r, a, implicit_plain, context);
            if (!(style == PLAIN ? implicit_plain : r.tag == T_STR))
                indicator(tag_text[r.tag], true);
            int saved = indent_;
            indent_ = indent_ < 0 ? best_indent : indent_ + best_indent;
            bool split = !(context & SIMPLE_KEY);
            switch (style) {
            case PLAIN: plain(s, r.len, split, context & ROOT); break;
            case SINGLE: single_quoted(s, r.len, split); break;
            case DOUBLE: double_quoted(s, r.len, split); break;
            case LITERAL: literal(s, r.len); break;
            }
            indent_ = saved;
        });
    }

    // Plain text has no breaks and no leading or trailing spaces; a single
    // space past the width becomes a line break.
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
            bool at_end = end == n;
            Py_UCS4 c = at_end ? 0 : s[end];
            if (spaces) {
                if (c != ' ') {
                    if (start + 1 == end && column_ > best_width && split) {
                        write_indent();
                        whitespace_ = indention_ = false;
                    } else {
                        write(s + start, end - start);
                    }
                    start = end;
                }
            } else if (at_end || c == ' ') {
                write(s + start, end - start);
                start = end;
            }
            spaces = c == ' ';
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
                        write(s + start, end - start);
                    start = end;
                }
            } else if (breaks) {
                if (at_end || !is_break(c)) {
                    // only "\n" gets here: the other breaks are escaped, in double quotes
                    if (s[start] == '\n')
                        line_break();
                    for (Py_ssize_t i = start; i < end; ++i)
                        line_break();
                    write_indent();
                    start = end;
                }
            } else if ((at_end || c == ' ' || is_break(c) || c == '\'') && start < end) {
                write(s + start, end - start);
                start = end;
            }
            if (c == '\'' && !at_end) {
                write("''");
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
        static const char letters[] = "0\0\0\0\0\0\0abtnvfr";
        char buf[12];
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
        write(std::string_view(buf, (size_t) n));
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
                    write(s + start, end - start);
                    start = end;
                }
                if (!at_end) {
                    escape(c);
                    start = end + 1;
                }
            }
            // start may be one past end, after an escape
            if (0 < end && end < n - 1 && (c == ' ' || start >= end) &&
                column_ + (end - start) > best_width && split) {
                if (start < end) {
                    write(s + start, end - start);
                    start = end;
                }
                write("\\");
                write_indent();
                whitespace_ = indention_ = false;
                if (s[start] == ' ')
                    write("\\");
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
                write(s + start, end - start, false);  // the emitter does not count these columns
                if (at_end)
                    line_break();
                start = end;
            }
            if (!at_end)
                breaks = is_break(c);
        }
    }
};

// What yaml.dump(document, Dumper=dumper, default_flow_style=False) returns
// when dump_fn is yaml.dump, or an invalid object when that call must write
// the document itself.
nb::object dump(nb::handle document, nb::handle dump_fn, nb::handle dumper) {
    if (!snapshot || !applies(*snapshot, dump_fn, dumper))
        return nb::object();
    try {
        return Writer(*snapshot).document(document);
    } catch (const Unsupported &) {
        return nb::object();
    }
}

}  // namespace fast_yaml

// ---------------------------------------------------------------------------
// Fast JSON: the text of dump_json written in one pass
//
// json.dumps with JSONDumper calls default() for every node, result, counter
// and datetime, then encodes each dictionary it returns. While everything that
// call goes through is still what this module set up at import (applies()),
// the same text is written here directly, node mappings straight from their
// pairs. The writer gives up on anything it cannot match byte for byte: a
// value json cannot encode, a cycle, a property that raises, an odd key.
// dump_json then runs json.dumps, so errors are the json module's own.

namespace fast_json {

// An object the output depends on, and where it is found at call time.
enum class Home { Module, Json, Encoder, Dumper };

struct Pin {
    Home home;
    const char *name;
    PyObject *key = nullptr;    // interned name
    PyObject *value = nullptr;  // the object at import, owned
};

Pin pins[] = {
    {Home::Module, "json"},
    {Home::Module, "JSONDumper"},
    {Home::Module, "ReportObjectBase"},
    {Home::Module, "TestResult"},
    {Home::Module, "ResultCounter"},
    {Home::Module, "datetime"},
    {Home::Json, "dumps"},
    // what JSONEncoder.iterencode builds the C encoder from
    {Home::Encoder, "c_make_encoder"},
    {Home::Encoder, "encode_basestring_ascii"},
    {Home::Dumper, "__mro__"},
    {Home::Dumper, "__new__"},
    {Home::Dumper, "__init__"},
    {Home::Dumper, "encode"},
    {Home::Dumper, "iterencode"},
    {Home::Dumper, "default"},
    {Home::Dumper, "item_separator"},
    {Home::Dumper, "key_separator"},
};

// Positions in pins of the objects the writer uses.
enum { JSON, JSON_DUMPER, REPORT_OBJECT_BASE, TEST_RESULT, RESULT_COUNTER, DATETIME };

PyObject *encoder_module = nullptr;  // json.encoder, owned
PyObject *utcoffset_name = nullptr;
PyObject *fullid_name = nullptr, *idlist_name = nullptr;
PyObject *fullid_property = nullptr, *idlist_property = nullptr;  // owned
bool pinned = false;

// New reference to what `pin` names now, or null when it is missing.
PyObject *lookup(const Pin &pin, PyObject *module_dict) {
    PyObject *found = nullptr;
    switch (pin.home) {
    case Home::Module:
    case Home::Encoder:
        found = PyDict_GetItemWithError(
            pin.home == Home::Module ? module_dict : PyModule_GetDict(encoder_module), pin.key);
        check(found || !PyErr_Occurred());
        return Py_XNewRef(found);
    case Home::Json:
        return get_optional_attr(pins[JSON].value, pin.key).release().ptr();
    case Home::Dumper:
        return get_optional_attr(pins[JSON_DUMPER].value, pin.key).release().ptr();
    }
    return nullptr;
}

// True while json.dumps(document, cls=JSONDumper) is bound to give the
// writer's text: every pinned object is still in place.
bool applies() {
    if (!pinned)
        return false;
    nb::object module = scope.module();
    PyObject *module_dict = PyModule_GetDict(module.ptr());
    for (const Pin &pin : pins) {
        PyObject *now = lookup(pin, module_dict);
        Py_XDECREF(now);
        if (now != pin.value)
            return false;
    }
    return true;
}

void release() {
    pinned = false;
    for (Pin &pin : pins)
        Py_CLEAR(pin.value);
    Py_CLEAR(encoder_module);
    Py_CLEAR(fullid_property);
    Py_CLEAR(idlist_property);
}

void pin_all(nb::handle module) {
    release();
    encoder_module = nb::module_::import_("json.encoder").release().ptr();
    PyObject *module_dict = PyModule_GetDict(module.ptr());
    // Module entries come first, so the json module and the class are known
    // before their attributes are read.
    for (Pin &pin : pins) {
        if (!pin.key)
            pin.key = interned(pin.name);
        pin.value = lookup(pin, module_dict);
    }
    fullid_property = get_attr(pins[REPORT_OBJECT_BASE].value, fullid_name).release().ptr();
    idlist_property = get_attr(pins[REPORT_OBJECT_BASE].value, idlist_name).release().ptr();
    pinned = true;
}

// The writer cannot promise json.dumps's text; the caller runs json.dumps.
struct GiveUp {};

// Beyond this much C stack the writer leaves deep data to json.dumps, so a
// build with large frames cannot overflow before the recursion limit.
constexpr uintptr_t stack_budget = 1 << 20;

class Writer {
public:
    Writer() {
        char here;
        uintptr_t top = reinterpret_cast<uintptr_t>(&here);
        stack_floor_ = top > stack_budget ? top - stack_budget : 0;
        // An exact datetime has a fixed class and __class__, so while the
        // earlier rules' classes have no metaclass of their own, whether it
        // is an instance of them is a matter of its class's bases alone.
        PyTypeObject *dt = PyDateTimeAPI->DateTimeType;
        datetime_rule_ = true;
        for (int rule : {REPORT_OBJECT_BASE, TEST_RESULT, RESULT_COUNTER}) {
            PyObject *cls = pins[rule].value;
            if (!PyType_CheckExact(cls) || PyType_IsSubtype(dt, reinterpret_cast<PyTypeObject *>(cls)))
                datetime_rule_ = false;
        }
        if (!PyType_CheckExact(pins[DATETIME].value) ||
            !PyType_IsSubtype(dt, reinterpret_cast<PyTypeObject *>(pins[DATETIME].value)))
            datetime_rule_ = false;
    }
    ~Writer() {
        Py_XDECREF(text_);
        Py_XDECREF(zone_);
        for (Name &name : names_)
            Py_XDECREF(name.name);
    }
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // Mirrors the type tests of json's encoder, in its order.
    void value(PyObject *o) {
        if (o == Py_None)
            put("null");
        else if (o == Py_True)
            put("true");
        else if (o == Py_False)
            put("false");
        else if (PyUnicode_Check(o))
            string(o);
        else if (PyLong_Check(o))
            integer(o);
        else if (PyFloat_Check(o))
            real(o);
        else if (PyList_Check(o) || PyTuple_Check(o))
            array(o);
        else if (PyDict_Check(o))
            dict(o);
        else
            by_default(o);
    }

    // The text written, which the writer lets go of.
    nb::object text() {
        if (!text_)
            grow(0);
        check(PyUnicode_Resize(&text_, static_cast<Py_ssize_t>(size_)) == 0);
        return nb::steal(std::exchange(text_, nullptr));
    }

private:
    // One level of nesting, counted where json's encoder counts one: each
    // list or dict, and each value handed to default().
    class Nested {
    public:
        explicit Nested(const Writer &w) {
            char here;
            if (reinterpret_cast<uintptr_t>(&here) < w.stack_floor_)
                throw GiveUp();
            check(Py_EnterRecursiveCall(" while encoding a JSON object") == 0);
        }
        ~Nested() { Py_LeaveRecursiveCall(); }
        Nested(const Nested &) = delete;
        Nested &operator=(const Nested &) = delete;
    };

    char *room(size_t n) {
        if (cap_ - size_ < n)
            grow(n);
        return buf_ + size_;
    }

    // The text is written straight into a str, which is only ever ASCII.
    void grow(size_t n) {
        size_t cap = std::max({cap_ * 2, size_ + n, size_t(1) << 16});
        if (!text_)
            text_ = PyUnicode_New(static_cast<Py_ssize_t>(cap), 127);
        else if (PyUnicode_Resize(&text_, static_cast<Py_ssize_t>(cap)) != 0)
            throw nb::python_error();
        check(text_ != nullptr);
        buf_ = reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(text_));
        cap_ = cap;
    }

    void put(char c) {
        *room(1) = c;
        ++size_;
    }

    void put(const char *s, size_t n) {
        std::memcpy(room(n), s, n);
        size_ += n;
    }

    template <size_t N>
    void put(const char (&s)[N]) { put(s, N - 1); }

    // Text that is ASCII already, such as int.__repr__ gives.
    void ascii(nb::handle s) {
        Py_ssize_t n;
        const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
        check(p != nullptr);
        put(p, static_cast<size_t>(n));
    }

    void string(PyObject *s) {
        put('"');
        escaped(s);
        put('"');
    }

    void escaped(PyObject *s) {
#if PY_VERSION_HEX < 0x030C0000
        check(PyUnicode_READY(s) == 0);
#endif
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: chars(PyUnicode_1BYTE_DATA(s), n); break;
        case PyUnicode_2BYTE_KIND: chars(PyUnicode_2BYTE_DATA(s), n); break;
        default: chars(PyUnicode_4BYTE_DATA(s), n); break;
        }
    }

    // ensure_ascii: printable ASCII stays, everything else is escaped.
    static bool plain(uint32_t c) { return c >= 0x20 && c < 0x7f && c != '"' && c != '\\'; }

    template <typename Char>
    void chars(const Char *s, Py_ssize_t n) {
        Py_ssize_t i = 0;
        while (i < n) {
            Py_ssize_t end = i;
            while (end < n && plain(s[end]))
                ++end;
            if (end > i) {
                size_t len = static_cast<size_t>(end - i);
                char *d = room(len);
                if constexpr (sizeof(Char) == 1)
                    std::memcpy(d, s + i, len);
                else
                    for (Py_ssize_t k = i; k < end; ++k)
                        *d++ = static_cast<char>(s[k]);
                size_ += len;
                i = end;
            }
            if (i < n)
                escape(s[i++]);
        }
    }

    void escape(uint32_t c) {
        char e = 0;
        switch (c) {
        case '"': e = '"'; break;
        case '\\': e = '\\'; break;
        case '\b': e = 'b'; break;
        case '\f': e = 'f'; break;
        case '\n': e = 'n'; break;
        case '\r': e = 'r'; break;
        case '\t': e = 't'; break;
        }
        if (e) {
            char *d = room(2);
            d[0] = '\\';
            d[1] = e;
            size_ += 2;
        } else if (c >= 0x10000) {
            c -= 0x10000;
            unit(0xd800 | (c >> 10));
            unit(0xdc00 | (c & 0x3ff));
        } else {
            unit(c);  // lone surrogates included, as json writes them
        }
    }

    void unit(uint32_t u) {
        static const char hex[] = "0123456789abcdef";
        char *d = room(6);
        d[0] = '\\';
        d[1] = 'u';
        d[2] = hex[(u >> 12) & 15];
        d[3] = hex[(u >> 8) & 15];
        d[4] = hex[(u >> 4) & 15];
        d[5] = hex[u & 15];
        size_ += 6;
    }

    // int.__repr__, also for subclasses
    void integer(PyObject *o) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow) {
            ascii(steal_checked(PyLong_Type.tp_repr(o)));
            return;
        }
        if (v == -1 && PyErr_Occurred())
            throw nb::python_error();
        char *d = room(24);
        size_ += static_cast<size_t>(std::to_chars(d, d + 24, v).ptr - d);
    }

    // float.__repr__, also for subclasses; json's names for the non-finite
    void real(PyObject *o) {
        double v = PyFloat_AS_DOUBLE(o);
        if (!std::isfinite(v)) {
            if (v > 0)
                put("Infinity");
            else if (v < 0)
                put("-Infinity");
            else
                put("NaN");
            return;
        }
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
        repr(v);
#else
        std::unique_ptr<char, void (*)(void *)> text(
            PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr), PyMem_Free);
        check(text != nullptr);
        put(text.get(), std::strlen(text.get()));
#endif
    }

#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    // repr() of a finite float from the shortest round-trip digits, which
    // to_chars finds several times faster than the interpreter: fixed
    // notation for decimal exponents -4 to 15, else d.ddde+XX; ".0" on
    // integral values.
    void repr(double v) {
        char sci[32];
        char *end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
        const char *p = sci;
        char *d = room(32);
        char *start = d;
        if (*p == '-')
            *d++ = *p++;
        char digits[20];
        int n = 0;
        digits[n++] = *p++;
        if (*p == '.')
            for (++p; *p != 'e'; ++p)
                digits[n++] = *p;
        ++p;  // 'e'
        bool negative_exp = *p++ == '-';
        int exp = 0;
        for (; p < end; ++p)
            exp = exp * 10 + (*p - '0');
        int point = (negative_exp ? -exp : exp) + 1;  // digits before the point
        if (point <= -4 || point > 16) {
            *d++ = digits[0];
            if (n > 1) {
                *d++ = '.';
                std::memcpy(d, digits + 1, static_cast<size_t>(n - 1));
                d += n - 1;
            }
            *d++ = 'e';
            *d++ = negative_exp ? '-' : '+';
            if (exp < 10)
                *d++ = '0';
            d = std::to_chars(d, d + 4, exp).ptr;
        } else if (point <= 0) {
            *d++ = '0';
            *d++ = '.';
            std::memset(d, '0', static_cast<size_t>(-point));
            d += -point;
            std::memcpy(d, digits, static_cast<size_t>(n));
            d += n;
        } else if (point >= n) {
            std::memcpy(d, digits, static_cast<size_t>(n));
            d += n;
            std::memset(d, '0', static_cast<size_t>(point - n));
            d += point - n;
            *d++ = '.';
            *d++ = '0';
        } else {
            std::memcpy(d, digits, static_cast<size_t>(point));
            d += point;
            *d++ = '.';
            std::memcpy(d, digits + point, static_cast<size_t>(n - point));
            d += n - point;
        }
        size_ += static_cast<size_t>(d - start);
    }
#endif

    void array(PyObject *o) {
        Nested nested(*this);
        // Subclasses are read through their iterator, as json reads them.
        nb::object seq = PyList_CheckExact(o) || PyTuple_CheckExact(o)
                             ? nb::borrow(o)
                             : steal_checked(PySequence_Fast(o, ""));
        if (PySequence_Fast_GET_SIZE(seq.ptr()) == 0) {
            put("[]");
            return;
        }
        put('[');
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i) {
            if (i)
                put(", ");
            // held: writing an item may run code that changes the list
            nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), i));
            value(item.ptr());
        }
        put(']');
    }

    void dict(PyObject *o) {
        Nested nested(*this);
        // json looks at the dict's own size even when items() says otherwise
        if (PyDict_GET_SIZE(o) == 0) {
            put("{}");
            return;
        }
        put('{');
#if PY_VERSION_HEX >= 0x030C0000
        // Since 3.12 json walks an exact dict live rather than a snapshot.
        if (PyDict_CheckExact(o)) {
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            bool first = true;
            while (PyDict_Next(o, &pos, &k, &v)) {
                nb::object key = nb::borrow(k), item = nb::borrow(v);
                if (!first)
                    put(", ");
                first = false;
                pair(key.ptr(), item.ptr());
            }
            put('}');
            return;
        }
#endif
        nb::object items = steal_checked(PyMapping_Items(o));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
            PyObject *item = PyList_GET_ITEM(items.ptr(), i);
            if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2)
                throw GiveUp();  // json raises ValueError
            if (i)
                put(", ");
            pair(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1));
        }
        put('}');
    }

    void pair(PyObject *k, PyObject *v) {
        if (PyUnicode_Check(k)) {
            string(k);
        } else if (PyFloat_Check(k)) {
            put('"');
            real(k);
            put('"');
        } else if (k == Py_True) {
            put("\"true\"");
        } else if (k == Py_False) {
            put("\"false\"");
        } else if (k == Py_None) {
            put("\"null\"");
        } else if (PyLong_Check(k)) {
            put('"');
            integer(k);
            put('"');
        } else {
            throw GiveUp();  // json raises TypeError
        }
        put(": ");
        value(v);
    }

    // The rules of JSONDumper.default, in its order.
    void by_default(PyObject *o) {
        Nested nested(*this);
        if (datetime_rule_ && PyDateTime_CheckExact(o))
            datetime(o);
        else if (is_instance(o, pins[REPORT_OBJECT_BASE].value))
            node(o);
        else if (is_instance(o, pins[TEST_RESULT].value))
            result(o);
        else if (is_instance(o, pins[RESULT_COUNTER].value))
            counter(o);
        else if (is_instance(o, pins[DATETIME].value))
            PyDateTime_CheckExact(o) ? datetime(o) : text_of(steal_checked(PyObject_Str(o)));
        else if (PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject *>(PyExc_Exception)))
            text_of(steal_checked(PyObject_Repr(o)));
        else
            throw GiveUp();  // the base default() raises TypeError
    }

    // A string default() returned; an empty one makes it raise instead.
    void text_of(nb::handle s) {
        if (!truthy(s))
            throw GiveUp();
        string(s.ptr());
    }

    // The node mapping, pair by pair, without the dictionary: the rule of
    // for_each_node_pair, except that fullid and idlist may be derived.
    void node(PyObject *o) {
        Nested mapping(*this);
        nb::object value_ignore = global(N.VALUE_IGNORE);
        // The usual VALUE_IGNORE never holds a derived fullid (a str) or
        // idlist (a list that is not empty).
        bool derivable = usual_value_ignore(value_ignore);
        size_t first = key_hashes_.size();
        lineage_.push_back({o, chain_.size()});
        put('{');
        for_each(get_attr(o, N._ARG_ORDER), [&](nb::handle name) {
            PyObject *n = name.ptr();
            bool id_name = n == fullid_name || n == idlist_name;
            if (id_name && derivable && derive(n, first))
                return;
            nb::object v = get_optional_attr(o, n);
            if (!v.is_valid() || ignorable(v, value_ignore))
                return;
            key(n, first);
            size_t at = size_;
            value(v.ptr());
            if (id_name)
                keep(n, v, at);
        });
        if (key_hashes_.size() == first)
            throw GiveUp();  // an empty mapping: default() raises TypeError
        key_hashes_.resize(first);
        chain_.resize(lineage_.back().chain_at);
        lineage_.pop_back();
        put('}');
    }

    // Writes the separator and '"name": ' of a node's pair.
    void key(PyObject *name, size_t first) {
        if (!PyUnicode_CheckExact(name))
            throw GiveUp();
        Name &known = names_[(reinterpret_cast<uintptr_t>(name) >> 4) % std::size(names_)];
        Py_hash_t hash = known.name == name ? known.hash : PyObject_Hash(name);
        check(hash != -1);
        // A name given twice is one key of the dictionary.
        for (size_t i = first; i < key_hashes_.size(); ++i)
            if (key_hashes_[i] == hash)
                throw GiveUp();
        if (key_hashes_.size() > first)
            put(", ");
        key_hashes_.push_back(hash);
        if (known.name == name)
            put(known.text, known.size);
        else
            remember(known, name, hash);
    }

    // fullid and idlist of a node below another are the parent's with the
    // node's own id added. Written from the text kept for the parent, they
    // spare walking the _parent chain twice for every node.
    struct Lineage {
        PyObject *node;   // borrowed: alive while it is written
        size_t chain_at;  // where its texts start in chain_
        int own_ids = -1;  // its class has the module's fullid and idlist
        int below = -1;    // its _parent is the node written around it, not a top node
        size_t fullid_at = npos, fullid_size = 0;  // str(fullid), escaped
        size_t idlist_at = npos, idlist_size = 0;  // the idlist text but its ']'
    };
    static constexpr size_t npos = size_t(-1);

    bool own_ids(Lineage &l) {
        if (l.own_ids < 0) {
            PyTypeObject *cls = Py_TYPE(l.node);
            auto is = [&](PyObject *name, PyObject *property) {
                nb::object attr = get_optional_attr(nb::handle(reinterpret_cast<PyObject *>(cls)), name);
                return attr.ptr() == property;
            };
            l.own_ids = Py_IS_TYPE(cls, &PyType_Type) && cls->tp_getattro == PyObject_GenericGetAttr &&
                        is(fullid_name, fullid_property) && is(idlist_name, idlist_property);
        }
        return l.own_ids;
    }

    // Writes the pair of fullid or idlist from the parent's text; false when
    // the property must be read instead.
    bool derive(PyObject *name, size_t first) {
        size_t depth = lineage_.size();
        if (depth < 2)
            return false;
        const Lineage &parent = lineage_[depth - 2];
        bool fullid = name == fullid_name;
        if ((fullid ? parent.fullid_at : parent.idlist_at) == npos || !own_ids(lineage_.back()))
            return false;
        if (lineage_.back().below < 0) {
            nb::object up = get_optional_attr(lineage_.back().node, N._parent);
            lineage_.back().below = up.is_valid() && up.ptr() == parent.node &&
                                    !is_top(up, global(N.Runsheaf));
        }
        if (!lineage_.back().below)
            return false;
        nb::object id = get_attr(lineage_.back().node, N.id);
        key(name, first);
        size_t at;
        if (fullid) {
            nb::object text = steal_checked(PyObject_Str(id.ptr()));
            put('"');
            at = size_;
            put(chain_.data() + parent.fullid_at, parent.fullid_size);
            put('.');
            escaped(text.ptr());
            record(lineage_[depth - 1].fullid_at, lineage_[depth - 1].fullid_size, at);
            put('"');
        } else {
            at = size_;
            put(chain_.data() + parent.idlist_at, parent.idlist_size);
            put(", ");
            value(id.ptr());  // may write nodes, which grow lineage_ and chain_
            record(lineage_[depth - 1].idlist_at, lineage_[depth - 1].idlist_size, at);
            put(']');
        }
        return true;
    }

    // Keeps what a node's children need of the fullid or idlist just written
    // from `at` on, read from the module's own property.
    void keep(PyObject *name, nb::handle v, size_t at) {
        Lineage &self = lineage_.back();
        if (!own_ids(self))
            return;
        if (name == idlist_name) {
            if (PyList_CheckExact(v.ptr()) && PyList_GET_SIZE(v.ptr()) > 0)
                record(self.idlist_at, self.idlist_size, at, size_ - 1);
            return;
        }
        nb::object text = steal_checked(PyObject_Str(v.ptr()));
        size_t end = size_;
        escaped(text.ptr());  // written only to be kept
        record(self.fullid_at, self.fullid_size, end);
        size_ = end;
    }

    void record(size_t &at, size_t &size, size_t from, size_t to = npos) {
        if (to == npos)
            to = size_;
        at = chain_.size();
        size = to - from;
        chain_.append(buf_ + from, size);
    }

    // The names of node classes are few and met again in every node: their
    // text '"name": ' is kept by name object for the rest of the dump.
    struct Name {
        PyObject *name = nullptr;  // owned
        Py_hash_t hash = 0;
        size_t size = 0;
        char text[40];
    };

    void remember(Name &slot, PyObject *key, Py_hash_t hash) {
        size_t start = size_;
        string(key);
        put(": ");
        if (size_ - start > sizeof slot.text)
            return;
        Py_XSETREF(slot.name, Py_NewRef(key));
        slot.hash = hash;
        slot.size = size_ - start;
        std::memcpy(slot.text, buf_ + start, slot.size);
    }

    void result(PyObject *o) {
        Nested mapping(*this);
        nb::object outcome = get_attr(o, N.value);
        nb::object reason = get_attr(o, N.reason);
        bool with_reason = truthy(reason);
        nb::object data = get_attr(o, N.data);
        bool with_data = truthy(data);
        put("{\"value\": ");
        value(outcome.ptr());
        if (with_reason) {
            put(", \"reason\": ");
            value(reason.ptr());
        }
        if (with_data) {
            put(", \"data\": ");
            value(data.ptr());
        }
        put('}');
    }

    void counter(PyObject *o) {
        nb::object data = get_attr(o, N.data);
        nb::object mapping = PyDict_CheckExact(data.ptr())
                                 ? steal_checked(PyDict_Copy(data.ptr()))
                                 : call_method(data, N.copy);
        set_item(mapping, nb::handle(N.total), get_attr(o, N.total));
        set_item(mapping, nb::handle(N.success_rate), get_attr(o, N.success_rate));
        if (!truthy(mapping))
            throw GiveUp();
        value(mapping.ptr());
    }

    static char *digits(char *p, int v, int width) {
        for (int i = width - 1; i >= 0; --i, v /= 10)
            p[i] = static_cast<char>('0' + v % 10);
        return p + width;
    }

    // str() of an exact datetime: "YYYY-MM-DD HH:MM:SS[.ffffff][+HH:MM[:SS[.ffffff]]]"
    void datetime(PyObject *o) {
        char text[64];
        char *p = digits(text, PyDateTime_GET_YEAR(o), 4);
        *p++ = '-';
        p = digits(p, PyDateTime_GET_MONTH(o), 2);
        *p++ = '-';
        p = digits(p, PyDateTime_GET_DAY(o), 2);
        *p++ = ' ';
        p = digits(p, PyDateTime_DATE_GET_HOUR(o), 2);
        *p++ = ':';
        p = digits(p, PyDateTime_DATE_GET_MINUTE(o), 2);
        *p++ = ':';
        p = digits(p, PyDateTime_DATE_GET_SECOND(o), 2);
        if (int us = PyDateTime_DATE_GET_MICROSECOND(o)) {
            *p++ = '.';
            p = digits(p, us, 6);
        }
        PyObject *tz = PyDateTime_DATE_GET_TZINFO(o);
        if (tz == zone_) {
            std::memcpy(p, zone_text_, zone_size_);
            p += zone_size_;
        } else if (tz != Py_None) {
            char *start = p;
            p = utc_offset(p, tz, o);
            // A datetime.timezone has one offset for every datetime.
            if (Py_IS_TYPE(tz, Py_TYPE(PyDateTime_TimeZone_UTC))) {
                Py_XSETREF(zone_, Py_NewRef(tz));
                zone_size_ = static_cast<size_t>(p - start);
                std::memcpy(zone_text_, start, zone_size_);
            }
        }
        put('"');
        put(text, static_cast<size_t>(p - text));
        put('"');
    }

    static char *utc_offset(char *p, PyObject *tz, PyObject *dt) {
        nb::object offset = steal_checked(PyObject_CallMethodOneArg(tz, utcoffset_name, dt));
        if (offset.is_none())
            return p;
        if (!PyDelta_Check(offset.ptr()))
            throw GiveUp();  // str() raises TypeError
        constexpr long long day = 86400LL * 1000000;
        long long us = (PyDateTime_DELTA_GET_DAYS(offset.ptr()) * 86400LL +
                        PyDateTime_DELTA_GET_SECONDS(offset.ptr())) * 1000000 +
                       PyDateTime_DELTA_GET_MICROSECONDS(offset.ptr());
        if (us <= -day || us >= day)
            throw GiveUp();  // str() raises ValueError
        *p++ = us < 0 ? '-' : '+';
        us = us < 0 ? -us : us;
        int micro = static_cast<int>(us % 1000000), secs = static_cast<int>(us / 1000000);
        p = digits(p, secs / 3600, 2);
        *p++ = ':';
        p = digits(p, secs / 60 % 60, 2);
        if (micro || secs % 60) {
            *p++ = ':';
            p = digits(p, secs % 60, 2);
            if (micro) {
                *p++ = '.';
                p = digits(p, micro, 6);
            }
        }
        return p;
    }

    PyObject *text_ = nullptr;
    char *buf_ = nullptr;  // the characters of text_
    size_t size_ = 0, cap_ = 0;
    uintptr_t stack_floor_;
    bool datetime_rule_;  // exact datetimes go straight to the datetime rule
    std::vector<Py_hash_t> key_hashes_;  // names of the nodes being written
    Name names_[64];
    std::vector<Lineage> lineage_;  // the nodes being written, innermost last
    std::string chain_;             // their texts for fullid and idlist
    PyObject *zone_ = nullptr;  // owned: the last datetime.timezone met
    char zone_text_[24];
    size_t zone_size_ = 0;
};

// The text json.dumps(document, cls=JSONDumper) gives, or a null object when
// the writer cannot promise it.
nb::object dumps(nb::handle document) {
    if (!pinned)
        return nb::object();
    Writer writer;
    try {
        writer.value(document.ptr());
        return writer.text();
    } catch (GiveUp &) {
    } catch (std::bad_alloc &) {
    } catch (nb::python_error &e) {
        // json.dumps raises the error again, or its own; an interrupt is not
        // a property of the data and goes to the caller at once.
        if (!e.matches(PyExc_Exception))
            throw;
    }
    return nb::object();
}

void init(nb::module_ &m) {
    PyDateTime_IMPORT;
    check(PyDateTimeAPI != nullptr);
    utcoffset_name = interned("utcoffset");
    fullid_name = interned("fullid");
    idlist_name = interned("idlist");
    pin_all(m);
    m.def("_fast_dumps", [](nb::handle obj) -> nb::object {
        nb::object text = dumps(obj);
        return text.is_valid() ? text : nb::none();
    }, nb::arg("obj").none(),
        "json.dumps(obj, cls=JSONDumper) as dump_json writes it, or None when "
        "dump_json would leave it to json.dumps.");
    nb::module_::import_("atexit").attr("register")(nb::cpp_function(&release));
}

}  // namespace fast_json

// ---------------------------------------------------------------------------
// Module assembly

nb::object object_base() { return nb::make_tuple(nb::handle((PyObject *) &PyBaseObject_Type)); }

nb::list name_list(std::initializer_list<const char *> names) {
    nb::list list;
    for (const char *name : names)
        list.append(nb::steal(interned(name)));  // fast attribute lookups
    return list;
}

void add_node_methods(ClassBuilder &b) {
    b.method("__init__", &node_init, nb::arg("id").none(), nb::arg("seq_num").none(),
             nb::arg("parent").none() = nb::none(), nb::arg("type").none() = nb::none())
        .property("fullid", &node_fullid)
        .property("idlist", &node_idlist)
        .attr("start", nb::none())  // fast-call methods, put in after the class is built
        .attr("stop", nb::none())
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

// Holds a new reference, released at interpreter exit.
PyObject *held(PyObject *o) { return Py_NewRef(o); }

void release_held() {
    for (PyObject **p : {&own.update, &own.update_extra, &own.roll_up, &own.init_runsheaf,
                         &own.init_task, &own.init_section, &own.init_plugin,
                         &own.recursive_update, &own.list_extend_kwnames})
        Py_CLEAR(*p);
    hot_globals.release();
}

}  // namespace

NB_MODULE(runsheaf, m) {
    init_names();
    init_health_keys();
    scope.bind(m);

    m.attr("yaml") = nb::module_::import_("yaml");
    m.attr("json") = nb::module_::import_("json");
    nb::module_::import_("os.path");
    m.attr("os") = nb::module_::import_("os");
    m.attr("datetime") = nb::module_::import_("datetime").attr("datetime");
    m.attr("get_time") = nb::module_::import_("vexa.utils.utils").attr("get_time");
    m.attr("recursive_update") = nb::module_::import_("vexa.utils.dicts").attr("recursive_update");
    own.recursive_update = held(m.attr("recursive_update").ptr());
    own.list_extend_kwnames = nb::make_tuple(nb::handle(N.list_extend)).release().ptr();
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
    json_dumper_class.bind(json_dumper);
    yaml_dumper_class.bind(yaml_dumper);

    ClassBuilder(m, "ReportHeader")
        .method("__init__", &header_init, nb::arg("report").none())
        .method("as_dict", &header_as_dict)
        .build(object_base());

    ClassBuilder base(m, "ReportObjectBase");
    base.attr("_ARG_ORDER", name_list({"type", "id", "fullid", "idlist", "name", "starttime",
                                       "stoptime", "runtime", "details", "extra"}));
    add_node_methods(base);
    own.update = held(nb::object(base.ns()["update"]).ptr());
    own.update_extra = held(nb::object(base.ns()["update_extra"]).ptr());
    own.roll_up = held(nb::object(base.ns()["roll_up"]).ptr());
    nb::object node_cls = base.build(object_base());
    install_fast(node_cls, "start", &keywords_method<NodeStart>);
    install_fast(node_cls, "stop", &keywords_method<NodeStop>);
    nb::object node_bases = nb::make_tuple(node_cls);

    nb::object runsheaf_cls =
        ClassBuilder(m, "Runsheaf")
            .attr("_ARG_ORDER",
                  name_list({"job_type", "suite_name", "type", "id", "fullid", "idlist",
                             "name", "starttime", "stoptime", "runtime", "cli", "jobfile",
                             "jobfile_hash", "xref", "vexapath", "vexaversion", "host",
                             "submitter", "user", "archivefile", "summary", "pluginsummary",
                             "result", "details", "extra", "totaltasks", "tasks",
                             "health_result", "health_summary", "source_id"}))
            .attr("__init__", nb::none())
            .attr("add_task", nb::none())
            .attr("add_plugin", nb::none())
            .property("testscripts", [](nb::handle self) { return get_attr(self, N.tasks); })
            .property("result", &runsheaf_result)
            .attr("stop", nb::none())
            .method("roll_up", &runsheaf_roll_up)
            .build(node_bases);
    own.init_runsheaf = held(install_fast(runsheaf_cls, "__init__", &init_method<RunsheafKind>));
    install_fast(runsheaf_cls, "add_task",
                 &child_method<Child<TaskKind, &Names::Task, &Names::tasks>>);
    install_fast(runsheaf_cls, "add_plugin",
                 &child_method<Child<PluginKind, &Names::Plugin, &Names::tasks>>);
    install_fast(runsheaf_cls, "stop", &keywords_method<RunsheafStop>);

    nb::object task_cls =
        ClassBuilder(m, "Task")
            .attr("_ARG_ORDER",
                  name_list({"type", "id", "fullid", "idlist", "name", "script_type",
                             "starttime", "stoptime", "runtime", "description", "logfile",
                             "testscript", "testscript_hash", "datafile", "datafile_hash",
                             "xref", "parameters", "summary", "pluginsummary", "result",
                             "details", "extra", "sections", "health_result",
                             "health_summary"}))
            .attr("__init__", nb::none())
            .attr("add_section", nb::none())
            .attr("add_plugin", nb::none())
            .property("result", &task_result)
            .attr("stop", nb::none())
            .method("roll_up", &task_roll_up)
            .build(node_bases);
    own.init_task = held(install_fast(task_cls, "__init__", &init_method<TaskKind>));
    install_fast(task_cls, "add_section",
                 &child_method<Child<SectionKind, &Names::Section, &Names::sections>>);
    install_fast(task_cls, "add_plugin",
                 &child_method<Child<PluginKind, &Names::Plugin, &Names::sections>>);
    install_fast(task_cls, "stop", &keywords_method<TaskStop>);

    nb::object plugin_cls =
        ClassBuilder(m, "Plugin")
            .attr("_ARG_ORDER",
                  name_list({"type", "id", "fullid", "idlist", "name", "starttime",
                             "stoptime", "runtime", "description", "logfile", "logs",
                             "summary", "result", "details", "extra", "sections",
                             "health_result"}))
            .attr("__init__", nb::none())
            .attr("add_section", nb::none())
            .attr("start", nb::none())
            .attr("stop", nb::none())
            .method("roll_up", &plugin_roll_up)
            .build(node_bases);
    own.init_plugin = held(install_fast(plugin_cls, "__init__", &init_method<PluginKind>));
    install_fast(plugin_cls, "add_section",
                 &child_method<Child<SectionKind, &Names::Section, &Names::sections>>);
    install_fast(plugin_cls, "start", &keywords_method<PluginStart>);
    install_fast(plugin_cls, "stop", &keywords_method<PluginStop>);

    nb::object section_cls =
        ClassBuilder(m, "Section")
            .attr("_ARG_ORDER",
                  name_list({"type", "id", "fullid", "idlist", "trova_uid", "name",
                             "testcase_type", "testcase_signature", "data_hash",
                             "starttime", "stoptime", "runtime", "description", "xref",
                             "logs", "parameters", "result", "details", "extra",
                             "sections", "health_result", "health_summary"}))
            .attr("__init__", nb::none())
            .attr("add_section", nb::none())
            .attr("start", nb::none())
            .attr("stop", nb::none())
            .build(node_bases);
    own.init_section = held(install_fast(section_cls, "__init__", &init_method<SectionKind>));
    install_fast(section_cls, "add_section",
                 &child_method<Child<SectionKind, &Names::Section, &Names::sections>>);
    install_fast(section_cls, "start", &keywords_method<SectionStart>);
    install_fast(section_cls, "stop", &keywords_method<SectionStop>);

    m.def("str_representer", &str_representer, nb::arg("dumper").none(), nb::arg("data").none());
    m.def("float_representer", &float_representer, nb::arg("dumper").none(), nb::arg("data").none());
    m.def("type_representer", &type_representer, nb::arg("dumper").none(), nb::arg("data").none());
    m.def("unknown_representer", &unknown_representer, nb::arg("dumper").none(), nb::arg("data").none());
    m.def("ResultCounter_representer", &counter_representer, nb::arg("dumper").none(), nb::arg("data").none());
    m.def("TestResult_representer", &result_representer, nb::arg("dumper").none(), nb::arg("data").none());
    m.def("AttrDict_representer", &attrdict_representer, nb::arg("dumper").none(), nb::arg("data").none());

    // Exact-type registrations, last, in this order; None is PyYAML's fallback.
    nb::object add_representer = yaml_dumper.attr("add_representer");
    nb::handle builtin_types[] = {(PyObject *) &PyUnicode_Type, (PyObject *) &PyFloat_Type,
                                  (PyObject *) &PyType_Type, Py_None};
    const char *builtin_representers[] = {"str_representer", "float_representer",
                                          "type_representer", "unknown_representer"};
    for (int i = 0; i < 4; ++i)
        add_representer(builtin_types[i], m.attr(builtin_representers[i]));
    add_representer(m.attr("ResultCounter"), m.attr("ResultCounter_representer"));
    add_representer(m.attr("TestResult"), m.attr("TestResult_representer"));
    add_representer(m.attr("AttrDict"), m.attr("AttrDict_representer"));
    for (const nb::object &cls : {runsheaf_cls, task_cls, section_cls, plugin_cls})
        add_representer(cls, cls.attr("to_yaml"));
    fast_yaml::capture(m);
    fast_json::init(m);

    init_hot_globals();
    // Let go of the held objects before the interpreter's leak checks.
    nb::module_::import_("atexit").attr("register")(nb::cpp_function(&release_held));
}
