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

#include <datetime.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
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
        *file, *begin, *size, *num_tasks, *list_extend, *style, *dunder_name;
    // methods
    PyObject *update, *update_extra, *roll_up, *clone, *from_str, *lower,
        *items, *append, *extend, *copy, *path, *basename, *getsize,
        *total_seconds, *rstrip, *represent_scalar, *represent_mapping,
        *increase_indent, *default_, *as_dict, *dumps, *dump;
    // module globals
    PyObject *yaml, *json, *os, *datetime, *get_time, *recursive_update,
        *ResultCounter, *TestResult, *Passed, *AttrDict, *VERSION, *VALUE_IGNORE,
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
    VEXA_NAME(Passed, "Passed"); VEXA_NAME(AttrDict, "AttrDict");
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

nb::object global(PyObject *name) { return scope[name]; }

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

// Removes `key` from kwargs and returns its value, or `fallback`.
nb::object pop_kwarg(nb::handle kwargs, PyObject *key, nb::handle fallback) {
    PyObject *value = PyDict_GetItemWithError(kwargs.ptr(), key);
    if (!value) {
        check(!PyErr_Occurred());
        return nb::borrow(fallback);
    }
    nb::object result = nb::borrow(value);
    check(PyDict_DelItem(kwargs.ptr(), key) == 0);
    return result;
}

// Iterates any iterable, calling f on each item.
template <typename F>
void for_each(nb::handle iterable, F &&f) {
    nb::object it = steal_checked(PyObject_GetIter(iterable.ptr()));
    while (PyObject *item = PyIter_Next(it.ptr()))
        f(nb::steal(item));
    check(!PyErr_Occurred());
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

// The subclasses take keywords only and hand them all to the base constructor.
void node_init_kwargs(nb::handle self, nb::handle kwargs, const char *cls) {
    PyObject *names[4] = {N.id, N.seq_num, N.parent, N.type};
    nb::object values[4] = {nb::none(), nb::none(), nb::none(), nb::none()};
    bool given[4] = {false, false, false, false};
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
        int slot = -1;
        for (int i = 0; i < 4 && slot < 0; ++i)
            if (equal(key, names[i]))
                slot = i;
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError,
                         "%s.__init__() got an unexpected keyword argument '%S'",
                         cls, key);
            throw nb::python_error();
        }
        values[slot] = nb::borrow(value);
        given[slot] = true;
    }
    for (int i = 0; i < 2; ++i)
        if (!given[i]) {
            PyErr_Format(PyExc_TypeError,
                         "%s.__init__() missing required keyword argument: '%U'",
                         cls, names[i]);
            throw nb::python_error();
        }
    node_init(self, values[0], values[1], values[2], values[3]);
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

// The base class's own methods. A node whose class has not replaced one is
// served by a direct C++ call, skipping Python's method dispatch; overrides
// in subclasses are called as usual. Released at interpreter exit.
struct OwnMethods {
    PyObject *update = nullptr, *update_extra = nullptr, *roll_up = nullptr;
} own;

// True when obj's class resolves `name` to our function `fn`.
bool dispatches_to(nb::handle obj, PyObject *name, PyObject *fn) {
    if (!fn)
        return false;
    nb::object attr = get_optional_attr(nb::handle((PyObject *) Py_TYPE(obj.ptr())), name);
    return attr.is_valid() && attr.ptr() == fn;
}

void node_update(nb::handle self, nb::handle data);

void update(nb::handle self, nb::handle data) {
    if (dispatches_to(self, N.update, own.update))
        node_update(self, data);
    else
        call_method(self, N.update, data);
}

void roll_up(nb::handle self);

void node_start(nb::handle self, nb::kwargs kwargs) {
    set_attr(self, N.starttime, call(global(N.get_time)));
    update(self, kwargs);
}

void node_stop(nb::handle self, nb::handle kwargs) {
    nb::object start = get_attr(self, N.starttime);
    if (!is_none(start)) {
        nb::object stop = call(global(N.get_time));
        set_attr(self, N.stoptime, stop);
        nb::object delta = steal_checked(PyNumber_Subtract(stop.ptr(), start.ptr()));
        set_attr(self, N.runtime, call_method(delta, N.total_seconds));
    }
    nb::object flag = pop_kwarg(kwargs, N.result_rollup, Py_True);
    set_attr(self, N.result_rollup, flag);
    update(self, kwargs);
    if (truthy(flag))
        roll_up(self);
}

void node_update_extra(nb::handle self, nb::handle data, nb::handle list_extend) {
    nb::dict kw;
    kw[N.list_extend] = list_extend;
    call_kw(global(N.recursive_update),
            nb::make_tuple(get_attr(self, N.extra), data), kw);
}

void node_update(nb::handle self, nb::handle data) {
    nb::object arg_order = get_attr(self, N._ARG_ORDER);
    nb::dict extras;
    for_each(call_method(data, N.items), [&](nb::handle item) {
        auto [key, value] = unpack_pair(item);
        if (!contains(arg_order, key)) {
            extras[key] = value;
            return;
        }
        nb::object current = get_optional_attr(self, key.ptr());
        if (current.is_valid() && PyList_Check(current.ptr())) {
            if (PyList_Check(value.ptr()))
                call_method(current, N.extend, value);
            else
                check(PyList_Append(current.ptr(), value.ptr()) == 0);
        } else {
            set_attr(self, key.ptr(), value);
        }
    });
    if (dispatches_to(self, N.update_extra, own.update_extra))
        node_update_extra(self, extras, Py_True);
    else
        call_method(self, N.update_extra, extras);
}

void node_add_detail(nb::handle self, nb::handle detail) {
    call_method(get_attr(self, N.details), N.append, detail);
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
    if (!truthy(parent) || is_instance(parent, global(N.Runsheaf)) ||
        is_instance(parent, global(N.Task)))
        return nb::object();
    nb::object result = get_optional_attr(node, N.result);
    if (!result.is_valid() || is_none(result))
        return nb::object();

    combine_into(parent, N.result, result);
    roll_up_health(node, parent, get_attr(node, N.extra));

    if (dispatches_to(parent, N.roll_up, own.roll_up))
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
    if (dispatches_to(self, N.roll_up, own.roll_up))
        node_roll_up(self);
    else
        call_method(self, N.roll_up);
}

// ---------------------------------------------------------------------------
// Runsheaf and Task

// A factory: builds the child class from the module with parent=self and
// appends the child to the parent's list.
nb::object add_child(nb::handle self, nb::handle kwargs, PyObject *cls_name,
                     PyObject *list_name) {
    if (PyDict_Contains(kwargs.ptr(), N.parent) == 1) {
        PyErr_Format(PyExc_TypeError,
                     "%U() got multiple values for keyword argument 'parent'", cls_name);
        throw nb::python_error();
    }
    nb::object cls = global(cls_name);
    nb::dict kw = nb::borrow<nb::dict>(kwargs);
    kw[N.parent] = self;
    nb::object child = call_kw(cls, nb::tuple(), kw);
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

void runsheaf_init(nb::handle self, nb::kwargs kwargs) {
    node_init_kwargs(self, kwargs, "Runsheaf");
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

void runsheaf_stop(nb::handle self, nb::kwargs kwargs) {
    static nb::handle zero = nb::int_(0).release();
    nb::object num_tasks = pop_kwarg(kwargs, N.num_tasks, zero);
    node_stop(self, kwargs);
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

void task_init(nb::handle self, nb::kwargs kwargs) {
    node_init_kwargs(self, kwargs, "Task");
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

void task_stop(nb::handle self, nb::kwargs kwargs) {
    node_stop(self, kwargs);
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

void section_init(nb::handle self, nb::kwargs kwargs) {
    node_init_kwargs(self, kwargs, "Section");
    set_attr(self, N.result, nb::none());
    set_attr(self, N.health_result, nb::none());
    set_attr(self, N.health_summary, call(global(N.ResultCounter)));
    set_attr(self, N.sections, nb::list());
    set_attr(self, N.logfile, nb::none());
    set_attr(self, N.logs, nb::dict());
}

void section_start(nb::handle self, nb::kwargs kwargs) {
    set_attr(self, N.logfile, pop_kwarg(kwargs, N.logfile, Py_None));
    node_start(self, kwargs);
    nb::object logfile = get_attr(self, N.logfile);
    if (truthy(logfile))
        record_log_start(self, logfile);
}

void section_stop(nb::handle self, nb::kwargs kwargs) {
    node_stop(self, kwargs);
    nb::object logfile = get_attr(self, N.logfile);
    if (truthy(logfile) && truthy(get_attr(self, N.logs)))
        record_log_growth(self, logfile);
}

void plugin_init(nb::handle self, nb::kwargs kwargs) {
    node_init_kwargs(self, kwargs, "Plugin");
    set_attr(self, N.sections, nb::list());
    set_attr(self, N.result, nb::none());
    set_attr(self, N.summary, nb::none());
    set_attr(self, N.health_result, nb::none());
    set_attr(self, N.health_summary, call(global(N.ResultCounter)));
    set_attr(self, N.logs, nb::dict());
}

void plugin_start(nb::handle self, nb::kwargs kwargs) {
    node_start(self, kwargs);
    nb::object parent = get_attr(self, N._parent);
    if (is_instance(parent, global(N.Runsheaf)))
        set_attr(self, N.summary, call(global(N.ResultCounter)));
    nb::object logfile = get_attr_or_none(self, N.logfile);
    if (truthy(logfile) && is_instance(parent, global(N.Task)))
        record_log_start(self, logfile);
}

void plugin_stop(nb::handle self, nb::kwargs kwargs) {
    nb::object stop_logfile = pop_kwarg(kwargs, N.logfile, Py_None);
    node_stop(self, kwargs);
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
// Serialization: the node mapping shared by JSON and YAML, and the dict form

// True when `value` is a member of VALUE_IGNORE (None, [], {}).
bool ignorable(nb::handle value, nb::handle value_ignore) {
    // The usual list [None, [], {}] is answered without rich comparisons.
    PyObject *v = value.ptr(), *vi = value_ignore.ptr();
    if (PyList_CheckExact(vi) && PyList_GET_SIZE(vi) == 3 &&
        PyList_GET_ITEM(vi, 0) == Py_None &&
        PyList_CheckExact(PyList_GET_ITEM(vi, 1)) && PyList_GET_SIZE(PyList_GET_ITEM(vi, 1)) == 0 &&
        PyDict_CheckExact(PyList_GET_ITEM(vi, 2)) && PyDict_GET_SIZE(PyList_GET_ITEM(vi, 2)) == 0) {
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

nb::object node_dump_yaml(nb::handle self) {
    nb::dict kw;
    kw["Dumper"] = global(N.YAMLDumper);
    kw["default_flow_style"] = false;
    return call_kw(get_attr(global(N.yaml), N.dump),
                   nb::make_tuple(header_document(self)), kw);
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
    nb::object base = steal_checked(PyObject_CallFunctionObjArgs(
        (PyObject *) &PySuper_Type, global(N.JSONDumper).ptr(), self.ptr(), nullptr));
    return call_method(base, N.default_, obj);
}

// ---------------------------------------------------------------------------
// YAMLDumper and its representers

nb::object yaml_increase_indent(nb::handle self, nb::handle flow, nb::handle /* indentless */) {
    nb::object base = steal_checked(PyObject_CallFunctionObjArgs(
        (PyObject *) &PySuper_Type, global(N.YAMLDumper).ptr(), self.ptr(), nullptr));
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
        bool derivable = usual_ignore(value_ignore);
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

    // VALUE_IGNORE as the module sets it, which never holds a derived fullid
    // (a str) or idlist (a list that is not empty).
    static bool usual_ignore(nb::handle value_ignore) {
        PyObject *l = value_ignore.ptr();
        return PyList_CheckExact(l) && PyList_GET_SIZE(l) == 3 && PyList_GET_ITEM(l, 0) == Py_None &&
               PyList_CheckExact(PyList_GET_ITEM(l, 1)) && PyList_GET_SIZE(PyList_GET_ITEM(l, 1)) == 0 &&
               PyDict_CheckExact(PyList_GET_ITEM(l, 2)) && PyDict_GET_SIZE(PyList_GET_ITEM(l, 2)) == 0;
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
        .method("start", &node_start)
        .method("stop", [](nb::handle self, nb::kwargs kwargs) { node_stop(self, kwargs); })
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

    ClassBuilder(m, "ReportHeader")
        .method("__init__", &header_init, nb::arg("report").none())
        .method("as_dict", &header_as_dict)
        .build(object_base());

    ClassBuilder base(m, "ReportObjectBase");
    base.attr("_ARG_ORDER", name_list({"type", "id", "fullid", "idlist", "name", "starttime",
                                       "stoptime", "runtime", "details", "extra"}));
    add_node_methods(base);
    own.update = nb::object(base.ns()["update"]).release().ptr();
    own.update_extra = nb::object(base.ns()["update_extra"]).release().ptr();
    own.roll_up = nb::object(base.ns()["roll_up"]).release().ptr();
    nb::object node_cls = base.build(object_base());
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
            .method("__init__", &runsheaf_init)
            .method("add_task", [](nb::handle self, nb::kwargs kw) {
                return add_child(self, kw, N.Task, N.tasks);
            })
            .method("add_plugin", [](nb::handle self, nb::kwargs kw) {
                return add_child(self, kw, N.Plugin, N.tasks);
            })
            .property("testscripts", [](nb::handle self) { return get_attr(self, N.tasks); })
            .property("result", &runsheaf_result)
            .method("stop", &runsheaf_stop)
            .method("roll_up", &runsheaf_roll_up)
            .build(node_bases);

    nb::object task_cls =
        ClassBuilder(m, "Task")
            .attr("_ARG_ORDER",
                  name_list({"type", "id", "fullid", "idlist", "name", "script_type",
                             "starttime", "stoptime", "runtime", "description", "logfile",
                             "testscript", "testscript_hash", "datafile", "datafile_hash",
                             "xref", "parameters", "summary", "pluginsummary", "result",
                             "details", "extra", "sections", "health_result",
                             "health_summary"}))
            .method("__init__", &task_init)
            .method("add_section", [](nb::handle self, nb::kwargs kw) {
                return add_child(self, kw, N.Section, N.sections);
            })
            .method("add_plugin", [](nb::handle self, nb::kwargs kw) {
                return add_child(self, kw, N.Plugin, N.sections);
            })
            .property("result", &task_result)
            .method("stop", &task_stop)
            .method("roll_up", &task_roll_up)
            .build(node_bases);

    nb::object plugin_cls =
        ClassBuilder(m, "Plugin")
            .attr("_ARG_ORDER",
                  name_list({"type", "id", "fullid", "idlist", "name", "starttime",
                             "stoptime", "runtime", "description", "logfile", "logs",
                             "summary", "result", "details", "extra", "sections",
                             "health_result"}))
            .method("__init__", &plugin_init)
            .method("add_section", [](nb::handle self, nb::kwargs kw) {
                return add_child(self, kw, N.Section, N.sections);
            })
            .method("start", &plugin_start)
            .method("stop", &plugin_stop)
            .method("roll_up", &plugin_roll_up)
            .build(node_bases);

    nb::object section_cls =
        ClassBuilder(m, "Section")
            .attr("_ARG_ORDER",
                  name_list({"type", "id", "fullid", "idlist", "trova_uid", "name",
                             "testcase_type", "testcase_signature", "data_hash",
                             "starttime", "stoptime", "runtime", "description", "xref",
                             "logs", "parameters", "result", "details", "extra",
                             "sections", "health_result", "health_summary"}))
            .method("__init__", &section_init)
            .method("add_section", [](nb::handle self, nb::kwargs kw) {
                return add_child(self, kw, N.Section, N.sections);
            })
            .method("start", &section_start)
            .method("stop", &section_stop)
            .build(node_bases);

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

    fast_json::init(m);

    // Let go of the held functions before the interpreter's leak checks.
    nb::module_::import_("atexit").attr("register")(nb::cpp_function([]() {
        Py_CLEAR(own.update);
        Py_CLEAR(own.update_extra);
        Py_CLEAR(own.roll_up);
    }));
    (void) json_dumper;
}
