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

nb::object node_dump_json(nb::handle self) {
    nb::dict kw;
    kw["cls"] = global(N.JSONDumper);
    return call_kw(get_attr(global(N.json), N.dumps),
                   nb::make_tuple(header_document(self)), kw);
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
// Module assembly

nb::object object_base() { return nb::make_tuple(nb::handle((PyObject *) &PyBaseObject_Type)); }

nb::list name_list(std::initializer_list<const char *> names) {
    nb::list list;
    for (const char *name : names)
        list.append(nb::str(name));
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

    // Let go of the held functions before the interpreter's leak checks.
    nb::module_::import_("atexit").attr("register")(nb::cpp_function([]() {
        Py_CLEAR(own.update);
        Py_CLEAR(own.update_extra);
        Py_CLEAR(own.roll_up);
    }));
    (void) json_dumper;
}
