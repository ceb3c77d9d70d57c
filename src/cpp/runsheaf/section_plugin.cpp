// Sections and plugin runs: their log positions, measured by size and never
// opened, and the plugin's own summary.
#include "node.hpp"

#include <vector>

namespace vexa::runsheaf {

// ---------------------------------------------------------------------------
// Section and Plugin: log positions, measured by size and never opened

nb::object file_size(nb::handle path) {
    return call_method(get_attr(global(N.os), N.path), N.getsize, path);
}

// Runs f; a log that cannot be measured gives `fallback` instead: an
// OSError, or a ValueError for a path the file system cannot take (a NUL,
// a lone surrogate).
template <typename F>
nb::object or_on_oserror(F &&f, long fallback) {
    try {
        return f();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ValueError))
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
    set_attr(self, N.sections, untracked_list());
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
    set_attr(self, N.sections, untracked_list());
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

}  // namespace vexa::runsheaf
