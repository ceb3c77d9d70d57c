// The node base, ReportObjectBase: identity, timing, keyword updates and the
// roll-up of a section into its parent section or plugin; and ReportHeader.
#include "node.hpp"

#include <vector>

namespace vexa::runsheaf {

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
        node_type = get_attr(type_of(self), N.dunder_name);
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

// A node whose class has not replaced one of the base class's methods is
// served by a direct C++ call, skipping Python's method dispatch; overrides
// in subclasses are called as usual.
void update(nb::handle self, nb::handle data) {
    if (uses_own(self, N.update, state->own_update))
        node_update(self, data);
    else
        call_method(self, N.update, data);
}

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
    call_with(global(N.recursive_update),
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
    if (uses_own(self, N.update_extra, state->own_update_extra))
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
    for (PyObject *key : N.health_keys)
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

    if (uses_own(parent, N.roll_up, state->own_roll_up))
        return parent;
    call_method(parent, N.roll_up);
    return nb::object();
}

void node_roll_up(nb::handle self) {
    // The nodes rolled up so far; meeting the one half as far back again
    // means the _parent chain is cyclic (as fullid reports it).
    std::vector<nb::object> path{nb::borrow(self)};
    while (nb::object next = roll_up_once(path.back())) {
        if (next.is(path[path.size() / 2])) {
            PyErr_SetString(PyExc_RecursionError, "the _parent chain of a report node is cyclic");
            throw nb::python_error();
        }
        path.push_back(std::move(next));
    }
}

void roll_up(nb::handle self) {
    if (uses_own(self, N.roll_up, state->own_roll_up))
        node_roll_up(self);
    else
        call_method(self, N.roll_up);
}


}  // namespace vexa::runsheaf
