// The legacy mapping: the report tree copied onto the legacy report
// library's objects, one _handle_* method per legacy object. The report tree
// is read by attribute access only; module names (TestScript, escape, ...)
// are looked up when a method runs and the methods call each other through
// self, so patches and subclasses take hold.
#include "legacy_mapping.hpp"

#include "../common/calls.hpp"
#include "../common/format.hpp"
#include "../common/recursion.hpp"
#include "escaping.hpp"

namespace vexa::brevlet {

namespace {

// getattr(obj, name, None), truth-tested: the value when set, else null.
nb::object when_set(nb::handle obj, PyObject *name) {
    nb::object v = get_optional_attr(obj, name);
    if (v.is_valid() && truthy(v))
        return v;
    return nb::object();
}

// escape() of the module, given the text form of values that are not str
// (integer ids as step names, details of any type).
nb::object escape_text(const State &s, nb::handle value) {
    nb::object escape = s.scope[N.escape];
    if (PyUnicode_Check(value.ptr()))
        return call(escape, {value});
    return call(escape, {to_str(value)});
}

// t.replace(microsecond=0)
nb::object whole_seconds(nb::handle t) {
    return call_method(t, N.replace, {nb::handle(N.zero)}, N.kw_microsecond);
}

// Days from 0001-01-01 to the given date of the proleptic Gregorian calendar.
long day_number(long y, long m, long d) {
    static const int before_month[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    long leap = (m > 2 && y % 4 == 0 && (y % 100 != 0 || y % 400 == 0)) ? 1 : 0;
    --y;
    return y * 365 + y / 4 - y / 100 + y / 400 + before_month[m - 1] + leap + d;
}

// stop.replace(microsecond=0) - start.replace(microsecond=0). Computed
// directly when both are plain datetimes of the same zone object (or both
// naive), where Python subtracts the wall times: almost every report node.
nb::object whole_second_span(nb::handle start, nb::handle stop) {
    VEXA_IMPORT_DATETIME();
    PyObject *a = start.ptr(), *b = stop.ptr();
    if (!PyDateTime_CheckExact(a) || !PyDateTime_CheckExact(b) ||
        PyDateTime_DATE_GET_TZINFO(a) != PyDateTime_DATE_GET_TZINFO(b)) {
        nb::object stop0 = whole_seconds(stop), start0 = whole_seconds(start);
        return steal_checked(PyNumber_Subtract(stop0.ptr(), start0.ptr()));
    }
    auto days = [](PyObject *t) {
        return day_number(PyDateTime_GET_YEAR(t), PyDateTime_GET_MONTH(t), PyDateTime_GET_DAY(t));
    };
    auto seconds = [](PyObject *t) {
        return PyDateTime_DATE_GET_HOUR(t) * 3600L + PyDateTime_DATE_GET_MINUTE(t) * 60L +
               PyDateTime_DATE_GET_SECOND(t);
    };
    // Normalised by the constructor, as timedelta(days, seconds) is.
    return steal_checked(PyDelta_FromDSU((int) (days(b) - days(a)),
                                         (int) (seconds(b) - seconds(a)), 0));
}

// starttime and stoptime copied; runtime in whole seconds when both are set.
void timing(nb::handle legacy, nb::handle report) {
    set_attr(legacy, N.starttime, get_attr(report, N.starttime));
    set_attr(legacy, N.stoptime, get_attr(report, N.stoptime));
    nb::object start = get_attr(legacy, N.starttime);
    if (!truthy(start))
        return;
    nb::object stop = get_attr(legacy, N.stoptime);
    if (!truthy(stop))
        return;
    // Microseconds dropped from both ends, so 10:00:00.9 to 10:00:05.1 is 5 s.
    set_attr(legacy, N.runtime, whole_second_span(start, stop));
}

// getattr(report, name, {}).get(key, default), the attribute read afresh each time.
nb::object lookup(nb::handle report, PyObject *name, PyObject *key, PyObject *dflt) {
    nb::object mapping = get_optional_attr(report, name);
    if (!mapping.is_valid())
        return nb::borrow(dflt);  // what {}.get(key, default) gives
    if (PyDict_CheckExact(mapping.ptr())) {  // the usual case, without a call
        PyObject *value = PyDict_GetItemWithError(mapping.ptr(), key);
        check(value || !PyErr_Occurred());
        return nb::borrow(value ? value : dflt);
    }
    return call_method(mapping, N.get, {nb::handle(key), nb::handle(dflt)});
}

// Source reference onto target.xref.
void reference_block(nb::handle target, nb::handle report) {
    nb::object file = lookup(report, N.xref, N.file, N.empty);
    set_attr(get_attr(target, N.xref), N.file, file);
    nb::object line = lookup(report, N.xref, N.line, N.minus_one);
    set_attr(get_attr(target, N.xref), N.line, line);
}

// Log position onto target.logfile.
void log_block(nb::handle target, nb::handle report) {
    nb::object file = lookup(report, N.logs, N.file, N.empty);
    set_attr(get_attr(target, N.logfile), N.filepath, file);
    nb::object begin = lookup(report, N.logs, N.begin, N.minus_one);
    set_item(get_attr(get_attr(target, N.logfile), N.attrs), N.begin, begin);
    nb::object size = lookup(report, N.logs, N.size, N.minus_one);
    set_item(get_attr(get_attr(target, N.logfile), N.attrs), N.size, size);
}

void diagnostics(const State &s, nb::handle legacy, nb::handle details) {
    for_each(details, [&](nb::handle detail) {
        nb::object runinfo = get_attr(legacy, N.runinfo);
        nb::object diag = escape_text(s, detail);
        call_method(runinfo, N.set_args, {diag}, N.kw_diag);
    });
}

void result_block(const State &s, nb::handle legacy, nb::handle report) {
    nb::object result = get_attr_or_none(report, N.result);
    if (!result.is_none())  // identity: a false result object still counts
        set_attr(get_attr(legacy, N.result), N.value, to_str(result));
    diagnostics(s, legacy, get_attr(report, N.details));
}

// legacy.extra.update(escape_data(extra)). Most sections have no extra values:
// with the module's own escape_data, an empty dict, and a dict to update,
// that changes nothing, and is skipped.
void extra_block(const State &s, nb::handle legacy, nb::handle extra) {
    nb::object escape = s.scope[N.escape_data];
    if (escape.is(s.own[s.escape_data]) && PyDict_CheckExact(extra.ptr()) &&
        PyDict_GET_SIZE(extra.ptr()) == 0) {
        nb::object target = get_attr(legacy, N.extra);
        if (!PyDict_CheckExact(target.ptr()))
            call_method(target, N.update, {nb::dict()});
        return;
    }
    nb::object escaped = call(escape, {extra});
    call_method(get_attr(legacy, N.extra), N.update, {escaped});
}

// A section's legacy identifier: its id, or "<id> <name>" for a processor.
nb::object section_id(nb::handle node) {
    nb::object id = get_attr(node, N.id);
    nb::object type = get_attr(node, N.type);
    bool processor;
    if (PyUnicode_Check(type.ptr())) {
        Py_ssize_t r = PyUnicode_Tailmatch(type.ptr(), N.processor, 0, PY_SSIZE_T_MAX, +1);
        check(r >= 0);
        processor = r == 1;
    } else {
        processor = truthy(call_method(type, N.endswith, {nb::handle(N.processor)}));
    }
    if (!processor)
        return id;
    nb::object name = get_attr(node, N.name);
    return steal_checked(PyUnicode_FromFormat("%S %S", id.ptr(), name.ptr()));
}

// Each child of report becomes a legacy step on legacy, handed to self._handle_step.
void step_children(const State &s, nb::handle self, nb::handle legacy, nb::handle report) {
    for_each(get_attr(report, N.sections), [&](nb::handle child) {
        nb::object sect_id = section_id(child);
        nb::object name = escape_text(s, get_attr(child, N.name));
        nb::object step = call_method(legacy, N.add_teststep, {sect_id, name}, N.kw_id_name);
        call_method(self, N._handle_step, {step, child});
    });
}

// The section's description, escaped, when it is set.
nb::object escaped_description(const State &s, nb::handle report) {
    nb::object description = get_attr_or_none(report, N.description);
    if (!truthy(description))
        return nb::object();
    return escape_text(s, description);
}

}  // namespace

// ---------------------------------------------------------------------------
// Brevlet methods

nb::object init(State &s, nb::handle self, nb::handle logsdir, nb::handle runsheaf) {
    set_attr(self, N.zelreport, call(s.scope[N.ZelReport]));
    set_attr(self, N.logsdir, logsdir);
    set_attr(self, N._runsheaf, runsheaf);
    return nb::none();
}

nb::object handle_runsheaf(State &s, nb::handle self, nb::handle zelts, nb::handle runsheaf) {
    timing(zelts, runsheaf);
    set_attr(get_attr(zelts, N.initinfo), N.jobid, get_attr(runsheaf, N.id));
    set_attr(get_attr(zelts, N.initinfo), N.name, get_attr(runsheaf, N.name));
    if (nb::object v = when_set(runsheaf, N.archivefile); v.is_valid())
        set_attr(zelts, N.archivefile, v);
    for (PyObject *key : {N.testbed, N.release, N.image}) {
        if (contains(get_attr(runsheaf, N.extra), key)) {
            nb::object v = get_item(get_attr(runsheaf, N.extra), key);
            set_attr(get_attr(zelts, N.initinfo), key, v);
        }
    }
    if (nb::object v = when_set(runsheaf, N.submitter); v.is_valid())
        set_attr(get_attr(zelts, N.initinfo), N.submitter, v);
    if (nb::object v = when_set(runsheaf, N.user); v.is_valid())
        set_attr(get_attr(zelts, N.initinfo), N.user, v);
    if (nb::object v = when_set(runsheaf, N.host); v.is_valid())
        call_method(get_attr(get_attr(zelts, N.initinfo), N.hosts), N.append, {v});
    if (nb::object v = when_set(runsheaf, N.cli); v.is_valid())
        set_attr(get_attr(get_attr(zelts, N.initinfo), N.params), N.cli, v);
    if (nb::object v = when_set(runsheaf, N.vexapath); v.is_valid())
        set_attr(get_attr(get_attr(zelts, N.initinfo), N.korb), N.path, v);
    if (nb::object v = when_set(runsheaf, N.vexaversion); v.is_valid())
        set_attr(get_attr(get_attr(zelts, N.initinfo), N.korb), N.version, v);
    call_method(get_attr(zelts, N.summary), N.update, {get_attr(runsheaf, N.summary)});
    diagnostics(s, zelts, get_attr(runsheaf, N.details));

    if (contains(get_attr(runsheaf, N.extra), N.trova)) {
        // The entry is read afresh for every test, as the run's extra may be
        // any mapping.
        auto entry = [&] { return get_item(get_attr(runsheaf, N.extra), N.trova); };
        nb::dict trova_args, post;
        for (PyObject *key : {N.dnsname, N.attributes})
            if (contains(entry(), key))
                set_item(trova_args, key, get_item(entry(), key));
        for (PyObject *key : {N.status, N.cmd, N.error})
            if (contains(entry(), key))
                set_item(post, key, get_item(entry(), key));
        if (PyDict_GET_SIZE(post.ptr()) > 0)
            set_item(trova_args, N.post, post);
        nb::object set_args = get_attr(get_attr(zelts, N.trova), N.set_args);
        nb::object empty = steal_checked(PyTuple_New(0));
        steal_checked(PyObject_Call(set_args.ptr(), empty.ptr(), trova_args.ptr()));
    }

    call_method(self, N._handle_jobexecution, {get_attr(zelts, N.jobexecution), runsheaf});
    return nb::borrow(zelts);
}

nb::object handle_jobexecution(State &s, nb::handle self, nb::handle zeljobexc,
                               nb::handle runsheaf) {
    timing(zeljobexc, runsheaf);
    for_each(get_attr(runsheaf, N.tasks), [&](nb::handle task) {
        nb::object logfile = get_attr_or_none(task, N.logfile);
        nb::object script = call(s.scope[N.TestScript], {logfile, nb::none()});
        call_method(zeljobexc, N.add_testscript, {script, get_attr(task, N.id)});
        call_method(self, N._handle_testscript, {script, task});
    });
    return nb::borrow(zeljobexc);
}

nb::object handle_testscript(State &s, nb::handle self, nb::handle zelts, nb::handle task) {
    timing(zelts, task);
    if (nb::object v = when_set(task, N.parameters); v.is_valid())
        set_attr(get_attr(zelts, N.initinfo), N.pargs, escape_text(s, to_str(v)));
    if (nb::object v = when_set(task, N.description); v.is_valid())
        set_attr(get_attr(zelts, N.initinfo), N.description, escape_text(s, v));
    if (nb::object v = when_set(task, N.logfile); v.is_valid())
        set_attr(get_attr(get_attr(zelts, N.initinfo), N.logfile), N.filepath, v);
    if (nb::object v = when_set(task, N.testscript); v.is_valid()) {
        nb::object ospath = get_attr(s.scope[N.os], N.path);
        nb::object name = call_method(ospath, N.basename, {v});
        set_attr(get_attr(get_attr(zelts, N.initinfo), N.script), N.name, name);
        nb::object dir = call_method(ospath, N.dirname, {v});
        set_attr(get_attr(get_attr(zelts, N.initinfo), N.script), N.path, dir);
    }
    call_method(get_attr(zelts, N.summary), N.update, {get_attr(task, N.summary)});
    diagnostics(s, zelts, get_attr(task, N.details));

    for_each(get_attr(task, N.sections), [&](nb::handle sect) {
        nb::object type = get_attr(sect, N.type);
        PyObject *common = nullptr;
        if (equal(type, N.common_setup))
            common = N.common_setup_id;
        else if (equal(type, N.common_cleanup))
            common = N.common_cleanup_id;
        if (common) {
            nb::object legacy = call_method(zelts, N.add_testsection,
                                            {nb::handle(common)}, N.kw_sectionid);
            call_method(self, N._handle_commonsection, {legacy, sect});
            return;
        }
        nb::object tcid = get_attr(sect, N.id);
        nb::object logfilepath = nb::borrow(N.empty);
        if (nb::object logs = when_set(sect, N.logs); logs.is_valid())
            logfilepath = call_method(logs, N.get, {nb::handle(N.file), nb::handle(N.empty)});
        nb::object legacy = call_method(zelts, N.add_testcase, {tcid, logfilepath},
                                        N.kw_tcid_logfilepath);
        call_method(self, N._handle_testcase, {legacy, sect});
    });
    return nb::borrow(zelts);
}

// The rows a common section and a test section share. The description goes
// into extra before the section's own extra, whose "description" key wins.
void section_rows(const State &s, nb::handle legacy, nb::handle report) {
    timing(legacy, report);
    if (nb::object d = escaped_description(s, report); d.is_valid())
        set_item(get_attr(legacy, N.extra), N.description, d);
    reference_block(legacy, report);
    log_block(legacy, report);
    result_block(s, legacy, report);
    extra_block(s, legacy, get_attr(report, N.extra));
}

nb::object handle_commonsection(State &s, nb::handle self, nb::handle legacy, nb::handle report) {
    RecursionScope level(" while mapping a section");
    section_rows(s, legacy, report);
    for_each(get_attr(report, N.sections), [&](nb::handle child) {
        nb::object sub = call_method(legacy, N.add_commonsubsection,
                                     {get_attr(child, N.name)}, N.kw_name);
        call_method(self, N._handle_subsection, {sub, child});
    });
    return nb::borrow(legacy);
}

nb::object handle_testcase(State &s, nb::handle self, nb::handle legacy, nb::handle report) {
    RecursionScope level(" while mapping a section");
    timing(legacy, report);
    nb::object info = get_attr(legacy, N.initinfo);
    set_item(get_attr(get_attr(info, N.id), N.attrs), N.name, get_attr(report, N.id));
    set_attr(get_attr(info, N.id), N.idtypevalue, get_attr(report, N.id));
    set_attr(info, N.name, get_attr(report, N.name));
    for (PyObject *field : {N.swversion, N.hwversion, N.fwversion, N.tstversion})
        set_attr(info, field, N.none_text);
    if (nb::object d = escaped_description(s, report); d.is_valid())
        set_attr(get_attr(legacy, N.initinfo), N.description, d);
    reference_block(get_attr(legacy, N.initinfo), report);
    log_block(get_attr(legacy, N.initinfo), report);
    result_block(s, legacy, report);
    extra_block(s, legacy, get_attr(report, N.extra));
    for_each(get_attr(report, N.sections), [&](nb::handle child) {
        nb::object sect_id = section_id(child);
        nb::object section = call_method(legacy, N.add_testsection, {sect_id}, N.kw_sectionid);
        call_method(self, N._handle_testsection, {section, child});
    });
    return nb::borrow(legacy);
}

nb::object handle_subsection(State &s, nb::handle self, nb::handle legacy, nb::handle report) {
    RecursionScope level(" while mapping a section");
    timing(legacy, report);
    nb::object sect_id = section_id(report);
    set_item(get_attr(get_attr(legacy, N.id), N.attrs), N.name, sect_id);
    set_attr(get_attr(legacy, N.id), N.idtypevalue, sect_id);
    set_attr(legacy, N.name, get_attr(report, N.name));
    if (nb::object d = escaped_description(s, report); d.is_valid())
        set_attr(legacy, N.description, d);
    reference_block(legacy, report);
    log_block(legacy, report);
    result_block(s, legacy, report);
    extra_block(s, legacy, get_attr(report, N.extra));
    step_children(s, self, legacy, report);
    return nb::borrow(legacy);
}

nb::object handle_testsection(State &s, nb::handle self, nb::handle legacy, nb::handle report) {
    RecursionScope level(" while mapping a section");
    section_rows(s, legacy, report);
    step_children(s, self, legacy, report);
    return nb::borrow(legacy);
}

nb::object handle_step(State &s, nb::handle self, nb::handle legacy, nb::handle report) {
    RecursionScope level(" while mapping a step");
    timing(legacy, report);
    nb::object description = get_attr_or_none(report, N.description);
    set_attr(legacy, N.description, truthy(description) ? description : nb::borrow(N.empty));
    reference_block(legacy, report);
    log_block(legacy, report);
    result_block(s, legacy, report);
    // A copy: the report step keeps its own "index" and "continue_".
    nb::object step_extra = call_method(get_attr(report, N.extra), N.copy);
    for (PyObject *key : {N.index, N.continue_})
        if (contains(step_extra, key))
            set_attr(legacy, key, call_method(step_extra, N.pop, {nb::handle(key)}));
    extra_block(s, legacy, step_extra);
    step_children(s, self, legacy, report);
    return nb::borrow(legacy);
}


}  // namespace vexa::brevlet
