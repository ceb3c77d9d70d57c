// The run (Runsheaf) and its tasks: children made by factory methods,
// results summed from the children, counters rebuilt on roll-up.
#include "node.hpp"

namespace vexa::runsheaf {

// ---------------------------------------------------------------------------
// Runsheaf and Task

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
        child = call_with(cls, nb::tuple(), d);
    }
    nb::object list = get_attr(self, list_name);
    call_method(list, N.append, child);
    track_for(list, child);
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
    nb::object health = get_attr(self, N.health_result);
    set_attr(self, N.health_result,
             is_none(health) ? child_health : add_in_place(health, child_health));
    nb::object summary = get_attr(self, N.health_summary);
    nb::object child_summary = get_attr(child, N.health_summary);
    for (PyObject *key : N.health_keys)
        counter_add(summary, key, get_item(child_summary, key));
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


}  // namespace vexa::runsheaf
