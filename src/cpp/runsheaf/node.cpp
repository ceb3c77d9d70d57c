// The node base, ReportObjectBase: identity, timing, keyword updates and the
// roll-up of a section into its parent section or plugin; and ReportHeader.
#include "node.hpp"

#include <datetime.h>

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
// Lists the cyclic collector need not walk
//
// Every node gets a list of details and every section a list of children,
// and most stay empty or hold strings: they cannot be part of a reference
// cycle, yet the collector would walk each of them at every full collection,
// and a long job holds millions. So they start untracked, as CPython leaves
// a dict of plain values, and are tracked as soon as the reporter sees them
// hold something that could be part of a cycle: when it appends a child or a
// detail, extends them from keywords, or stops the node. A cycle a user makes
// through such a list without handing the node back to the reporter is not
// collected (as with any object the collector does not track); nothing else
// changes.

// Whether `value` could be part of a cycle, as CPython's dicts decide it.
bool may_be_tracked(PyObject *value) {
    return PyObject_IS_GC(value) && (!PyTuple_CheckExact(value) || PyObject_GC_IsTracked(value));
}

nb::object untracked_list() {
    nb::object list = steal_checked(PyList_New(0));
    PyObject_GC_UnTrack(list.ptr());
    return list;
}

// Tracks `list` once `item`, just appended to it, could be part of a cycle.
void track_for(nb::handle list, nb::handle item) {
    if (PyList_CheckExact(list.ptr()) && !PyObject_GC_IsTracked(list.ptr()) &&
        may_be_tracked(item.ptr()))
        PyObject_GC_Track(list.ptr());
}

// Tracks `list` if one of its items from `start` on could be part of a cycle.
void track_if_needed(nb::handle list, Py_ssize_t start) {
    PyObject *op = list.ptr();
    if (!PyList_CheckExact(op) || PyObject_GC_IsTracked(op))
        return;
    for (Py_ssize_t i = start < 0 ? 0 : start, n = PyList_GET_SIZE(op); i < n; ++i)
        if (may_be_tracked(PyList_GET_ITEM(op, i))) {
            PyObject_GC_Track(op);
            return;
        }
}

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
    set_attr(self, N.details, untracked_list());
    set_attr(self, N.extra, nb::dict());
}

void init_from(nb::handle self, NodeArgs &args) {
    node_init(self, args.id, args.seq_num, args.parent, args.type);
}

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
    if (resolves_to(N.update, state->own_update.ptr()))
        facts |= OWN_UPDATE;
    if (resolves_to(N.update_extra, state->own_update_extra.ptr()))
        facts |= OWN_UPDATE_EXTRA;
    if (resolves_to(N.roll_up, state->own_roll_up.ptr()))
        facts |= OWN_ROLL_UP;
    if (type->tp_new == PyBaseObject_Type.tp_new && type->tp_alloc == PyType_GenericAlloc)
        facts |= PLAIN_NEW;
    if (!own_class_attribute(type))
        facts |= PLAIN_CLASS;
    if (type->tp_getattro == PyObject_GenericGetAttr && !get_optional_attr(cls, N.details) &&
        !get_optional_attr(cls, N.sections))
        facts |= PLAIN_LISTS;
    nb::object init = get_optional_attr(cls, N.init);
    for (int i = 0; i < 4; ++i)
        if (init.is_valid() && init.ptr() == state->own_init[i].ptr())
            facts |= INIT_RUNSHEAF << i;
    return facts;
}

uint32_t facts_of_type(PyTypeObject *type) {
    if (!state->own_update.is_valid())
        return 0;  // interpreter exit has released the methods
    return state->class_facts.get(type, compute_facts);
}

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
    if (fn.ptr() == state->own_recursive_update.ptr() && PyDict_CheckExact(data.ptr()) &&
        PyDict_GET_SIZE(data.ptr()) == 0)
        return;
    PyObject *args[3] = {extra.ptr(), data.ptr(), list_extend.ptr()};
    steal_checked(PyObject_Vectorcall(fn.ptr(), args, 2, N.kw_list_extend));
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
            Py_ssize_t had = PyList_GET_SIZE(current.ptr());
            if (PyList_Check(value))
                call_method(current, N.extend, nb::handle(value));
            else
                check(PyList_Append(current.ptr(), value) == 0);
            track_if_needed(current, had);
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

void init_recording(nb::handle module) {
    PyDateTime_IMPORT;
    check(PyDateTimeAPI != nullptr);
    state->own_recursive_update = module.attr("recursive_update");
    state->hot_globals.bind(&state->scope, state->hot_names);
}

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
    // What a user appended to the lists directly; read only where reading
    // them runs no code of the class.
    if (facts_of(self) & PLAIN_LISTS)
        for (PyObject *name : {N.details, N.sections})
            if (nb::object list = get_optional_attr(self, name))
                track_if_needed(list, 0);
    if (truthy(flag))
        roll_up(self);
}

void node_add_detail(nb::handle self, nb::handle detail) {
    nb::object details = get_attr(self, N.details);
    if (PyList_CheckExact(details.ptr())) {
        check(PyList_Append(details.ptr(), detail.ptr()) == 0);
        track_for(details, detail);
    } else
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
    for (PyObject *key : N.health_keys)
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
    if (facts_of(self) & OWN_ROLL_UP)
        node_roll_up(self);
    else
        call_method(self, N.roll_up);
}


}  // namespace vexa::runsheaf
