// vexa.reporter.brevlet: the legacy XML result files of a finished report.
//
//   ESCAPE_SEQUENCE, _escape_repl, escape, escape_data
//       control characters and lone surrogates in free text rewritten as
//       visible backslash escapes
//   Brevlet(logsdir, runsheaf)
//       generate_xml: copies the report tree onto the legacy report library's
//       objects (_handle_runsheaf ... _handle_step, one per legacy object),
//       pretty-prints the library's details document into ResultsDetails.xml
//       and writes the job summary into ResultsSummary.xml
//
// The report tree is read by attribute access only. Module names (ET,
// minidom, TestScript, escape, ...) are looked up when a method runs and
// methods call each other through self, so patches and subclasses take hold.
#include "common.hpp"

#include <datetime.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

using namespace vexa;

namespace {

// ---------------------------------------------------------------------------
// Names and constants, made once at import and kept for the process.

struct Names {
#define VEXA_NAMES(X)                                                          \
    X(starttime) X(stoptime) X(runtime) X(replace) X(id) X(name) X(type)      \
    X(description) X(xref) X(logs) X(file) X(line) X(logfile) X(filepath)     \
    X(attrs) X(begin) X(size) X(result) X(value) X(details) X(runinfo)        \
    X(set_args) X(extra) X(update) X(sections) X(add_testsection)             \
    X(add_teststep) X(add_commonsubsection) X(_handle_runsheaf)               \
    X(_handle_jobexecution) X(_handle_testscript) X(_handle_commonsection)    \
    X(_handle_testcase) X(_handle_subsection) X(_handle_testsection)          \
    X(_handle_step) X(initinfo) X(jobid) X(archivefile) X(testbed)            \
    X(release) X(image) X(submitter) X(user) X(host) X(hosts) X(append)       \
    X(cli) X(params) X(vexapath) X(korb) X(path) X(vexaversion) X(version)    \
    X(summary) X(trova) X(dnsname) X(attributes) X(post) X(status) X(cmd)     \
    X(error) X(jobexecution) X(tasks) X(add_testscript) X(parameters)         \
    X(pargs) X(testscript) X(script) X(add_testcase) X(idtypevalue)           \
    X(swversion) X(hwversion) X(fwversion) X(tstversion) X(index)             \
    X(continue_) X(copy) X(pop) X(get) X(zelreport) X(logsdir) X(_runsheaf)   \
    X(generate_dom) X(tostring) X(parseString) X(toprettyxml) X(Element)      \
    X(SubElement) X(text) X(generate_resultsonly_dom)                         \
    X(generate_simple_elt_dom) X(write) X(endswith) X(basename) X(dirname)    \
    X(encode) X(decode) X(sub) X(group) X(open) X(os) X(ET) X(minidom)        \
    X(ZelReport) X(Runsheaf) X(TestScript) X(ESCAPE_SEQUENCE) X(_escape_repl) \
    X(escape) X(escape_data) X(runsheaf) X(items) X(ord) X(tail) X(attrib) X(tag) \
    X(buffer) X(flush) X(encoding)
#define VEXA_DECLARE(n) PyObject *n;
    VEXA_NAMES(VEXA_DECLARE)
#undef VEXA_DECLARE
    PyObject *enter, *exit_;
    PyObject *empty, *none_text, *minus_one, *zero, *processor, *common_setup,
        *common_cleanup, *common_setup_id, *common_cleanup_id, *details_file,
        *summary_file, *rough_file, *utf8, *two_blanks, *mode_w, *mode_wb,
        *job_summary, *archive_attr, *korb_attr, *job_name, *debug_profile,
        *debug_value, *backslashreplace;
    // Keyword-name tuples for vectorcall.
    PyObject *kw_microsecond, *kw_diag, *kw_sectionid, *kw_id_name, *kw_name,
        *kw_tcid_logfilepath, *kw_encoding, *kw_indent, *kw_errors;
};

Names N;

PyObject *kwnames(std::initializer_list<PyObject *> names) {
    PyObject *t = PyTuple_New((Py_ssize_t) names.size());
    check(t != nullptr);
    Py_ssize_t i = 0;
    for (PyObject *n : names)
        PyTuple_SET_ITEM(t, i++, Py_NewRef(n));
    return t;
}

void init_names() {
#define VEXA_INIT(n) N.n = interned(#n);
    VEXA_NAMES(VEXA_INIT)
#undef VEXA_INIT
    N.enter = interned("__enter__");
    N.exit_ = interned("__exit__");
    N.empty = interned("");
    N.none_text = interned("None");
    N.minus_one = PyLong_FromLong(-1);
    N.zero = PyLong_FromLong(0);
    check(N.minus_one && N.zero);
    N.processor = interned("Processor");
    N.common_setup = interned("CommonSetup");
    N.common_cleanup = interned("CommonCleanup");
    N.common_setup_id = interned("commonSetup");
    N.common_cleanup_id = interned("commonCleanup");
    N.details_file = interned("/ResultsDetails.xml");
    N.summary_file = interned("/ResultsSummary.xml");
    N.rough_file = interned("/xml_rough_string");
    N.utf8 = interned("utf-8");
    N.two_blanks = interned("  ");
    N.mode_w = interned("w");
    N.mode_wb = interned("wb");
    N.job_summary = interned("jobSummary");
    N.archive_attr = interned("archiveFilename");
    N.korb_attr = interned("korbTreePath");
    N.job_name = interned("jobName");
    N.debug_profile = interned("debugProfile");
    N.debug_value = interned("0");
    N.backslashreplace = interned("backslashreplace");
    N.kw_microsecond = kwnames({interned("microsecond")});
    N.kw_diag = kwnames({interned("diag")});
    N.kw_sectionid = kwnames({interned("sectionid")});
    N.kw_id_name = kwnames({N.id, N.name});
    N.kw_name = kwnames({N.name});
    N.kw_tcid_logfilepath = kwnames({interned("tcid"), interned("logfilepath")});
    N.kw_encoding = kwnames({interned("encoding")});
    N.kw_indent = kwnames({interned("indent")});
    N.kw_errors = kwnames({interned("errors")});
}

ModuleScope scope;

// ---------------------------------------------------------------------------
// Calls.

// fn(*positional, **dict(zip(kw, keyword values))): the last len(kw) entries
// of `args` (at most eight in all) are the keyword values.
nb::object call(nb::handle fn, std::initializer_list<nb::handle> args,
                PyObject *kw = nullptr) {
    PyObject *argv[8];
    size_t n = 0;
    for (nb::handle a : args)
        argv[n++] = a.ptr();
    size_t nkw = kw ? (size_t) PyTuple_GET_SIZE(kw) : 0;
    return steal_checked(PyObject_Vectorcall(fn.ptr(), argv, n - nkw, kw));
}

// obj.name(*positional, **keywords), as `call`.
nb::object call_method(nb::handle obj, PyObject *name,
                       std::initializer_list<nb::handle> args,
                       PyObject *kw = nullptr) {
    PyObject *argv[8];
    size_t n = 0;
    argv[n++] = obj.ptr();
    for (nb::handle a : args)
        argv[n++] = a.ptr();
    size_t nkw = kw ? (size_t) PyTuple_GET_SIZE(kw) : 0;
    return steal_checked(PyObject_VectorcallMethod(name, argv, n - nkw, kw));
}

nb::object to_str(nb::handle v) { return steal_checked(PyObject_Str(v.ptr())); }

nb::object concat(nb::handle a, nb::handle b) {
    return steal_checked(PyNumber_Add(a.ptr(), b.ptr()));
}

// A module global, or a builtin when the module has none (as a name in
// Python code resolves).
nb::object global_or_builtin(PyObject *name) {
    nb::object module = scope.module();
    PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(module.ptr()), name);
    if (!value) {
        check(!PyErr_Occurred());
        value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
        if (!value) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            throw nb::python_error();
        }
    }
    return nb::borrow(value);
}

// Deep user data (nested containers, nested steps) ends in RecursionError at
// the interpreter's recursion limit, long before the C stack runs out.
thread_local int recursion_depth = 0;

class RecursionGuard {
public:
    explicit RecursionGuard(const char *where) {
        if (Py_EnterRecursiveCall(where))
            throw nb::python_error();
        if (++recursion_depth > Py_GetRecursionLimit()) {
            --recursion_depth;
            Py_LeaveRecursiveCall();
            PyErr_Format(PyExc_RecursionError,
                         "maximum recursion depth exceeded%s", where);
            throw nb::python_error();
        }
    }
    ~RecursionGuard() {
        --recursion_depth;
        Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

// ---------------------------------------------------------------------------
// Character rewriting: a picked character becomes \xNN (below U+0100) or
// \uNNNN, lower-case hex, the forms of the "\x{:>02x}" format and of the
// "backslashreplace" error handler.

struct EscapeRule {  // what escape() rewrites
    static bool pick(Py_UCS4 c) {
        return c <= 0x08 || c == 0x1b || (c >= 0xd800 && c <= 0xdfff);
    }
};

struct XmlRule {  // what XML 1.0 cannot carry
    static bool pick(Py_UCS4 c) {
        if (c < 0x20)
            return c != 0x09 && c != 0x0a && c != 0x0d;
        return (c >= 0xd800 && c <= 0xdfff) || c == 0xfffe || c == 0xffff;
    }
};

template <typename Out>
inline Out *put_escape(Out *out, Py_UCS4 c) {
    static const char hex[] = "0123456789abcdef";
    *out++ = '\\';
    if (c < 0x100) {
        *out++ = 'x';
    } else {
        *out++ = 'u';
        *out++ = (Out) hex[(c >> 12) & 0xf];
        *out++ = (Out) hex[(c >> 8) & 0xf];
    }
    *out++ = (Out) hex[(c >> 4) & 0xf];
    *out++ = (Out) hex[c & 0xf];
    return out;
}

template <typename Rule, typename In, typename Out>
void rewrite_into(const In *in, Py_ssize_t n, Out *out) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = in[i];
        if (Rule::pick(c))
            out = put_escape(out, c);
        else
            *out++ = (Out) c;
    }
}

template <typename Rule, typename In>
PyObject *rewrite_kind(PyObject *s, const In *in, Py_ssize_t n) {
    // First pass: the length and widest kept character of the result.
    Py_ssize_t grow = 0;
    Py_UCS4 widest = 0x7f;  // the escapes themselves are ASCII
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = in[i];
        if (Rule::pick(c))
            grow += c < 0x100 ? 3 : 5;
        else if (sizeof(In) > 1 && c > widest)
            widest = c;
    }
    if (grow == 0)
        return PyUnicode_Substring(s, 0, n);  // s itself, as exact str
    if (sizeof(In) == 1 && !PyUnicode_IS_ASCII(s))
        widest = 0xff;  // one-byte picks are all below U+0020
    PyObject *r = PyUnicode_New(n + grow, widest);
    if (!r)
        return nullptr;
    switch (PyUnicode_KIND(r)) {
        case PyUnicode_1BYTE_KIND:
            rewrite_into<Rule>(in, n, PyUnicode_1BYTE_DATA(r));
            break;
        case PyUnicode_2BYTE_KIND:
            rewrite_into<Rule>(in, n, PyUnicode_2BYTE_DATA(r));
            break;
        default:
            rewrite_into<Rule>(in, n, PyUnicode_4BYTE_DATA(r));
            break;
    }
    return r;
}

// New reference to `s` rewritten by Rule; `s` must be a str.
template <typename Rule>
nb::object rewrite(nb::handle str) {
    PyObject *s = str.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    PyObject *r;
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            r = rewrite_kind<Rule>(s, PyUnicode_1BYTE_DATA(s), n);
            break;
        case PyUnicode_2BYTE_KIND:
            r = rewrite_kind<Rule>(s, PyUnicode_2BYTE_DATA(s), n);
            break;
        default:
            r = rewrite_kind<Rule>(s, PyUnicode_4BYTE_DATA(s), n);
            break;
    }
    return steal_checked(r);
}

// Text for an element or attribute of the summary: None stays None, other
// values their str(), and what XML 1.0 cannot carry becomes visible.
nb::object xml_text(nb::handle value) {
    if (value.is_none())
        return nb::none();
    if (PyUnicode_Check(value.ptr()))
        return rewrite<XmlRule>(value);
    return rewrite<XmlRule>(to_str(value));
}

// ---------------------------------------------------------------------------
// escape, escape_data, _escape_repl

nb::object escape_repl(nb::handle match) {
    nb::object ch = call_method(match, N.group, {nb::handle(N.zero)});
    long code;
    if (PyUnicode_Check(ch.ptr()) && PyUnicode_GET_LENGTH(ch.ptr()) == 1) {
        code = (long) PyUnicode_READ_CHAR(ch.ptr(), 0);
    } else {  // ord() gives the error, or the byte's value
        nb::object ord = call(global_or_builtin(N.ord), {ch});
        code = PyLong_AsLong(ord.ptr());
        check(!(code == -1 && PyErr_Occurred()));
    }
    char buf[32];  // "\x{:>02x}"; widths in PyUnicode_FromFormat need 3.12
    snprintf(buf, sizeof buf, "\\x%02lx", code);
    return steal_checked(PyUnicode_FromString(buf));
}

// The regex pass and the UTF-8 round trip, in Python's terms: for values
// other than str (which raise TypeError there) and for a patched module.
nb::object escape_generic(nb::handle pattern, nb::handle repl, nb::handle string) {
    nb::object subbed = call_method(pattern, N.sub, {repl, string});
    nb::object raw = call_method(subbed, N.encode, {nb::handle(N.backslashreplace)},
                                 N.kw_errors);
    return call_method(raw, N.decode, {});
}

// escape(): one C++ pass while the module's pattern and callback are its own.
struct Escape {
    nb::object pattern, repl;  // the module's own ESCAPE_SEQUENCE and _escape_repl

    nb::object operator()(nb::handle string) const {
        nb::object p = scope[N.ESCAPE_SEQUENCE], r = scope[N._escape_repl];
        if (PyUnicode_Check(string.ptr()) && p.is(pattern) && r.is(repl))
            return rewrite<EscapeRule>(string);
        return escape_generic(p, r, string);
    }
};

struct EscapeData {
    nb::object escape_fn;  // the module's own escape()
    Escape escape;         // and what it does

    nb::object operator()(nb::handle data) const {
        return walk(data, scope[N.escape]);
    }

    nb::object walk(nb::handle data, nb::handle current) const {
        PyObject *d = data.ptr();
        if (PyUnicode_Check(d))
            return current.is(escape_fn) ? escape(data) : call(current, {data});
        if (PyList_Check(d)) {
            RecursionGuard guard(" in escape_data");
            nb::object out = steal_checked(PyList_New(0));
            auto add = [&](nb::handle item) {
                nb::object v = walk(item, current);
                check(PyList_Append(out.ptr(), v.ptr()) == 0);
            };
            if (PyList_CheckExact(d)) {
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(d); ++i)
                    add(nb::borrow(PyList_GET_ITEM(d, i)));
            } else {
                for_each(data, add);
            }
            return out;
        }
        if (PyDict_Check(d)) {
            RecursionGuard guard(" in escape_data");
            nb::object out = steal_checked(PyDict_New());
            auto add = [&](nb::handle key, nb::handle value) {
                nb::object k = walk(key, current);
                nb::object v = walk(value, current);
                set_item(out, k, v);
            };
            if (PyDict_CheckExact(d)) {
                Py_ssize_t pos = 0, size = PyDict_GET_SIZE(d);
                PyObject *k, *v;
                while (PyDict_Next(d, &pos, &k, &v)) {
                    add(nb::borrow(k), nb::borrow(v));
                    if (PyDict_GET_SIZE(d) != size) {
                        PyErr_SetString(PyExc_RuntimeError,
                                        "dictionary changed size during iteration");
                        throw nb::python_error();
                    }
                }
            } else {  // a subclass iterates its items in its own order
                nb::object items = call_method(data, N.items, {});
                for_each(items, [&](nb::handle pair) {
                    nb::object kv = steal_checked(PySequence_Tuple(pair.ptr()));
                    if (PyTuple_GET_SIZE(kv.ptr()) != 2) {
                        PyErr_Format(PyExc_ValueError,
                                     "expected 2 values to unpack, got %zd",
                                     PyTuple_GET_SIZE(kv.ptr()));
                        throw nb::python_error();
                    }
                    add(nb::borrow(PyTuple_GET_ITEM(kv.ptr(), 0)),
                        nb::borrow(PyTuple_GET_ITEM(kv.ptr(), 1)));
                });
            }
            return out;
        }
        if (PyTuple_Check(d)) {
            RecursionGuard guard(" in escape_data");
            nb::object items = steal_checked(PyList_New(0));
            for_each(data, [&](nb::handle item) {
                nb::object v = walk(item, current);
                check(PyList_Append(items.ptr(), v.ptr()) == 0);
            });
            return steal_checked(PyList_AsTuple(items.ptr()));
        }
        return nb::borrow(data);
    }
};

// ---------------------------------------------------------------------------
// Mapping helpers

// getattr(obj, name, None), truth-tested: the value when set, else null.
nb::object when_set(nb::handle obj, PyObject *name) {
    nb::object v = get_optional_attr(obj, name);
    if (v.is_valid() && truthy(v))
        return v;
    return nb::object();
}

// escape() of the module, given the text form of values that are not str
// (integer ids as step names, details of any type).
nb::object escape_text(nb::handle value) {
    nb::object escape = scope[N.escape];
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
void timing(nb::handle L, nb::handle S) {
    set_attr(L, N.starttime, get_attr(S, N.starttime));
    set_attr(L, N.stoptime, get_attr(S, N.stoptime));
    nb::object start = get_attr(L, N.starttime);
    if (!truthy(start))
        return;
    nb::object stop = get_attr(L, N.stoptime);
    if (!truthy(stop))
        return;
    // Microseconds dropped from both ends, so 10:00:00.9 to 10:00:05.1 is 5 s.
    set_attr(L, N.runtime, whole_second_span(start, stop));
}

// getattr(S, name, {}).get(key, default), the attribute read afresh each time.
nb::object lookup(nb::handle S, PyObject *name, PyObject *key, PyObject *dflt) {
    nb::object mapping = get_optional_attr(S, name);
    if (!mapping.is_valid())
        return nb::borrow(dflt);  // what {}.get(key, default) gives
    if (PyDict_CheckExact(mapping.ptr())) {  // the usual case, without a call
        PyObject *value = PyDict_GetItemWithError(mapping.ptr(), key);
        check(value || !PyErr_Occurred());
        return nb::borrow(value ? value : dflt);
    }
    return call_method(mapping, N.get, {nb::handle(key), nb::handle(dflt)});
}

// Source reference onto T.xref.
void reference_block(nb::handle T, nb::handle S) {
    nb::object file = lookup(S, N.xref, N.file, N.empty);
    set_attr(get_attr(T, N.xref), N.file, file);
    nb::object line = lookup(S, N.xref, N.line, N.minus_one);
    set_attr(get_attr(T, N.xref), N.line, line);
}

// Log position onto T.logfile.
void log_block(nb::handle T, nb::handle S) {
    nb::object file = lookup(S, N.logs, N.file, N.empty);
    set_attr(get_attr(T, N.logfile), N.filepath, file);
    nb::object begin = lookup(S, N.logs, N.begin, N.minus_one);
    set_item(get_attr(get_attr(T, N.logfile), N.attrs), N.begin, begin);
    nb::object size = lookup(S, N.logs, N.size, N.minus_one);
    set_item(get_attr(get_attr(T, N.logfile), N.attrs), N.size, size);
}

void diagnostics(nb::handle L, nb::handle details) {
    for_each(details, [&](nb::handle detail) {
        nb::object runinfo = get_attr(L, N.runinfo);
        nb::object diag = escape_text(detail);
        call_method(runinfo, N.set_args, {diag}, N.kw_diag);
    });
}

void result_block(nb::handle L, nb::handle S) {
    nb::object result = get_attr_or_none(S, N.result);
    if (!result.is_none())  // identity: a false result object still counts
        set_attr(get_attr(L, N.result), N.value, to_str(result));
    diagnostics(L, get_attr(S, N.details));
}

// The module's own escape_data(), known to the section handlers.
struct Own {
    nb::object escape_data;
};

// L.extra.update(escape_data(extra)). Most sections have no extra values:
// with the module's own escape_data, an empty dict, and a dict to update,
// that changes nothing, and is skipped.
void extra_block(const Own &own, nb::handle L, nb::handle extra) {
    nb::object escape = scope[N.escape_data];
    if (escape.is(own.escape_data) && PyDict_CheckExact(extra.ptr()) &&
        PyDict_GET_SIZE(extra.ptr()) == 0) {
        nb::object target = get_attr(L, N.extra);
        if (!PyDict_CheckExact(target.ptr()))
            call_method(target, N.update, {nb::dict()});
        return;
    }
    nb::object escaped = call(escape, {extra});
    call_method(get_attr(L, N.extra), N.update, {escaped});
}

// A section's legacy identifier: its id, or "<id> <name>" for a processor.
nb::object section_id(nb::handle C) {
    nb::object id = get_attr(C, N.id);
    nb::object type = get_attr(C, N.type);
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
    nb::object name = get_attr(C, N.name);
    return steal_checked(PyUnicode_FromFormat("%S %S", id.ptr(), name.ptr()));
}

// Each child of S becomes a legacy step on L, handed to self._handle_step.
void step_children(nb::handle self, nb::handle L, nb::handle S) {
    for_each(get_attr(S, N.sections), [&](nb::handle child) {
        nb::object sect_id = section_id(child);
        nb::object name = escape_text(get_attr(child, N.name));
        nb::object step = call_method(L, N.add_teststep, {sect_id, name}, N.kw_id_name);
        call_method(self, N._handle_step, {step, child});
    });
}

// The section's description, escaped, when it is set.
nb::object escaped_description(nb::handle S) {
    nb::object description = get_attr_or_none(S, N.description);
    if (!truthy(description))
        return nb::object();
    return escape_text(description);
}

// ---------------------------------------------------------------------------
// Brevlet methods

nb::object init(nb::handle self, nb::handle logsdir, nb::handle runsheaf) {
    set_attr(self, N.zelreport, call(scope[N.ZelReport], {}));
    set_attr(self, N.logsdir, logsdir);
    set_attr(self, N._runsheaf, runsheaf);
    return nb::none();
}

nb::object handle_runsheaf(nb::handle self, nb::handle zelts, nb::handle runsheaf) {
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
    diagnostics(zelts, get_attr(runsheaf, N.details));

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

nb::object handle_jobexecution(nb::handle self, nb::handle zeljobexc, nb::handle runsheaf) {
    timing(zeljobexc, runsheaf);
    for_each(get_attr(runsheaf, N.tasks), [&](nb::handle task) {
        nb::object logfile = get_attr_or_none(task, N.logfile);
        nb::object script = call(scope[N.TestScript], {logfile, nb::none()});
        call_method(zeljobexc, N.add_testscript, {script, get_attr(task, N.id)});
        call_method(self, N._handle_testscript, {script, task});
    });
    return nb::borrow(zeljobexc);
}

nb::object handle_testscript(nb::handle self, nb::handle zelts, nb::handle task) {
    timing(zelts, task);
    if (nb::object v = when_set(task, N.parameters); v.is_valid())
        set_attr(get_attr(zelts, N.initinfo), N.pargs, escape_text(to_str(v)));
    if (nb::object v = when_set(task, N.description); v.is_valid())
        set_attr(get_attr(zelts, N.initinfo), N.description, escape_text(v));
    if (nb::object v = when_set(task, N.logfile); v.is_valid())
        set_attr(get_attr(get_attr(zelts, N.initinfo), N.logfile), N.filepath, v);
    if (nb::object v = when_set(task, N.testscript); v.is_valid()) {
        nb::object ospath = get_attr(scope[N.os], N.path);
        nb::object name = call_method(ospath, N.basename, {v});
        set_attr(get_attr(get_attr(zelts, N.initinfo), N.script), N.name, name);
        nb::object dir = call_method(ospath, N.dirname, {v});
        set_attr(get_attr(get_attr(zelts, N.initinfo), N.script), N.path, dir);
    }
    call_method(get_attr(zelts, N.summary), N.update, {get_attr(task, N.summary)});
    diagnostics(zelts, get_attr(task, N.details));

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
void section_rows(const Own &own, nb::handle L, nb::handle S) {
    timing(L, S);
    if (nb::object d = escaped_description(S); d.is_valid())
        set_item(get_attr(L, N.extra), N.description, d);
    reference_block(L, S);
    log_block(L, S);
    result_block(L, S);
    extra_block(own, L, get_attr(S, N.extra));
}

nb::object handle_commonsection(const Own &own, nb::handle self, nb::handle L, nb::handle S) {
    RecursionGuard guard(" while mapping a section");
    section_rows(own, L, S);
    for_each(get_attr(S, N.sections), [&](nb::handle child) {
        nb::object sub = call_method(L, N.add_commonsubsection,
                                     {get_attr(child, N.name)}, N.kw_name);
        call_method(self, N._handle_subsection, {sub, child});
    });
    return nb::borrow(L);
}

nb::object handle_testcase(const Own &own, nb::handle self, nb::handle L, nb::handle S) {
    RecursionGuard guard(" while mapping a section");
    timing(L, S);
    nb::object info = get_attr(L, N.initinfo);
    set_item(get_attr(get_attr(info, N.id), N.attrs), N.name, get_attr(S, N.id));
    set_attr(get_attr(info, N.id), N.idtypevalue, get_attr(S, N.id));
    set_attr(info, N.name, get_attr(S, N.name));
    for (PyObject *field : {N.swversion, N.hwversion, N.fwversion, N.tstversion})
        set_attr(info, field, N.none_text);
    if (nb::object d = escaped_description(S); d.is_valid())
        set_attr(get_attr(L, N.initinfo), N.description, d);
    reference_block(get_attr(L, N.initinfo), S);
    log_block(get_attr(L, N.initinfo), S);
    result_block(L, S);
    extra_block(own, L, get_attr(S, N.extra));
    for_each(get_attr(S, N.sections), [&](nb::handle child) {
        nb::object sect_id = section_id(child);
        nb::object legacy = call_method(L, N.add_testsection, {sect_id}, N.kw_sectionid);
        call_method(self, N._handle_testsection, {legacy, child});
    });
    return nb::borrow(L);
}

nb::object handle_subsection(const Own &own, nb::handle self, nb::handle L, nb::handle S) {
    RecursionGuard guard(" while mapping a section");
    timing(L, S);
    nb::object sect_id = section_id(S);
    set_item(get_attr(get_attr(L, N.id), N.attrs), N.name, sect_id);
    set_attr(get_attr(L, N.id), N.idtypevalue, sect_id);
    set_attr(L, N.name, get_attr(S, N.name));
    if (nb::object d = escaped_description(S); d.is_valid())
        set_attr(L, N.description, d);
    reference_block(L, S);
    log_block(L, S);
    result_block(L, S);
    extra_block(own, L, get_attr(S, N.extra));
    step_children(self, L, S);
    return nb::borrow(L);
}

nb::object handle_testsection(const Own &own, nb::handle self, nb::handle L, nb::handle S) {
    RecursionGuard guard(" while mapping a section");
    section_rows(own, L, S);
    step_children(self, L, S);
    return nb::borrow(L);
}

nb::object handle_step(const Own &own, nb::handle self, nb::handle L, nb::handle S) {
    RecursionGuard guard(" while mapping a step");
    timing(L, S);
    nb::object description = get_attr_or_none(S, N.description);
    set_attr(L, N.description, truthy(description) ? description : nb::borrow(N.empty));
    reference_block(L, S);
    log_block(L, S);
    result_block(L, S);
    // A copy: the report step keeps its own "index" and "continue_".
    nb::object step_extra = call_method(get_attr(S, N.extra), N.copy, {});
    for (PyObject *key : {N.index, N.continue_})
        if (contains(step_extra, key))
            set_attr(L, key, call_method(step_extra, N.pop, {nb::handle(key)}));
    extra_block(own, L, step_extra);
    step_children(self, L, S);
    return nb::borrow(L);
}

// ---------------------------------------------------------------------------
// Files

// What Python does to an error raised while `handled` is being handled: the
// end of its context chain gets `handled` as context.
void chain_context(nb::handle raised, nb::handle handled) {
    nb::object cur = nb::borrow(raised);
    for (int i = 0; i < 1000; ++i) {
        if (cur.is(handled))
            return;
        nb::object next = nb::steal(PyException_GetContext(cur.ptr()));
        if (!next.is_valid()) {
            PyException_SetContext(cur.ptr(), Py_NewRef(handled.ptr()));
            return;
        }
        cur = next;
    }
}

// Runs Python's `with f:` protocol around body(f): __exit__ sees the error,
// and an error of __exit__ itself carries the first one as its context.
template <typename Body>
void with_file(nb::object f, Body &&body) {
    nb::object entered = call_method(f, N.enter, {});
    try {
        body(entered);
    } catch (nb::python_error &e) {
        nb::object tb = e.traceback();
        nb::object suppress;
        try {
            suppress = call_method(f, N.exit_, {e.type(), e.value(),
                                               tb.is_valid() ? nb::handle(tb) : nb::none()});
        } catch (nb::python_error &e2) {
            chain_context(e2.value(), e.value());
            throw;
        }
        if (!truthy(suppress))
            throw;
        return;
    }
    call_method(f, N.exit_, {nb::none(), nb::none(), nb::none()});
}

// with open(path, "w", encoding="utf-8") as f: f.write(text)
// UTF-8 because the files declare no encoding, which readers take as UTF-8.
void write_text(nb::handle path, nb::handle text) {
    nb::object open = global_or_builtin(N.open);
    nb::object f = call(open, {path, nb::handle(N.mode_w), nb::handle(N.utf8)}, N.kw_encoding);
    with_file(f, [&](nb::handle file) { call_method(file, N.write, {text}); });
}

void write_bytes(nb::handle path, nb::handle data) {
    nb::object open = global_or_builtin(N.open);
    nb::object f = call(open, {path, nb::handle(N.mode_wb)});
    with_file(f, [&](nb::handle file) { call_method(file, N.write, {data}); });
}

nb::object pretty(nb::handle rough) {
    nb::object doc = call_method(scope[N.minidom], N.parseString, {rough});
    return call_method(doc, N.toprettyxml, {nb::handle(N.two_blanks)}, N.kw_indent);
}

nb::object tostring(nb::handle element) {
    return call_method(scope[N.ET], N.tostring, {element, nb::handle(N.utf8)}, N.kw_encoding);
}

// ---------------------------------------------------------------------------
// Pretty-printing without minidom
//
// Writes what minidom.parseString(ET.tostring(e, encoding="utf-8"))
// .toprettyxml(indent="  ") gives, straight from the element tree, for trees
// where that is bound to be the same text: exact Element nodes whose tags,
// attribute names and values, texts and tails are str; plain ASCII names;
// only characters that XML 1.0 allows; no tail on the root; a modest depth.
// Anything else (comments, namespaces, other types, text the parser would
// reject) takes the generic path, which also decides how it fails.

// How the running minidom writes character data; it changed in 3.13.
struct MinidomStyle {
    bool quote_in_text;   // '"' in text nodes as &quot;
    bool attr_ws_refs;    // tab, LF, CR in attribute values as character refs
};

// One attribute of the element type's instances, read as getattr() does.
// Element instances have no __dict__, so when the type holds a getset
// descriptor for the name, getattr() is that descriptor's getter; calling it
// directly spares the type look-up, 10^6 times in a large document.
class ElementField {
public:
    ElementField(PyTypeObject *type, PyObject *name) : name_(name) {
        nb::object descr = get_optional_attr(nb::handle((PyObject *) type), name);
        if (descr.is_valid() && Py_TYPE(descr.ptr()) == &PyGetSetDescr_Type &&
            type->tp_dictoffset == 0)
            descr_ = descr;
        type_ = type;
    }

    nb::object operator()(nb::handle e) const {
        if (!descr_.is_valid() || Py_TYPE(e.ptr()) != type_)
            return get_attr(e, name_);
        return steal_checked(Py_TYPE(descr_.ptr())->tp_descr_get(
            descr_.ptr(), e.ptr(), (PyObject *) type_));
    }

private:
    PyObject *name_;
    PyTypeObject *type_;
    nb::object descr_;
};

class Pretty {
public:
    static constexpr int max_depth = 200;  // far below the generic path's limits
    static constexpr size_t block_size = 1 << 20;

    Pretty(PyTypeObject *element_type, MinidomStyle style)
        : element_type_(element_type), style_(style),
          tag_(element_type, N.tag), attrib_(element_type, N.attrib),
          text_(element_type, N.text), tail_(element_type, N.tail) {
        blocks_.emplace_back();
        blocks_.back().reserve(block_size + 4096);
    }

    // False when the tree needs the generic path.
    bool document(nb::handle root) {
        if (Py_TYPE(root.ptr()) != element_type_)
            return false;
        nb::object tail = tail_(root);
        if (!tail.is_none() && !(PyUnicode_CheckExact(tail.ptr()) &&
                                 PyUnicode_GET_LENGTH(tail.ptr()) == 0))
            return false;  // text after the root: not a well-formed document
        put("<?xml version=\"1.0\" ?>\n");
        return element(root.ptr(), 0);
    }

    std::vector<std::string> take_blocks() { return std::move(blocks_); }

    std::string joined() const {
        std::string all;
        for (const std::string &b : blocks_)
            all += b;
        return all;
    }

private:
    std::string &out() { return blocks_.back(); }

    template <size_t N>
    void put(const char (&s)[N]) { out().append(s, N - 1); }  // a literal
    void put(const char *s, size_t n) { out().append(s, n); }
    void put(char c) { out().push_back(c); }

    // New blocks start between pieces, so each block is whole UTF-8.
    void cut() {
        if (out().size() >= block_size) {
            blocks_.emplace_back();
            blocks_.back().reserve(block_size + 4096);
        }
    }

    void indent(int depth) { out().append((size_t) depth * 2, ' '); }

    // None or "" is no text; a str its text; anything else not ours.
    enum class Text { none, some, foreign };
    static Text text_kind(PyObject *v) {
        if (v == Py_None)
            return Text::none;
        if (!PyUnicode_CheckExact(v))
            return Text::foreign;
        return PyUnicode_GET_LENGTH(v) ? Text::some : Text::none;
    }

    // [A-Za-z_][A-Za-z0-9_.-]*, not beginning with "xml" in any case: names
    // every parser takes as they are, without namespace processing.
    bool name(PyObject *s) {
        nb::object &known = known_names_[(reinterpret_cast<uintptr_t>(s) >> 4) % 64];
        if (known.ptr() == s) {
            put((const char *) PyUnicode_1BYTE_DATA(s), (size_t) PyUnicode_GET_LENGTH(s));
            return true;
        }
        if (!PyUnicode_CheckExact(s) || !PyUnicode_IS_ASCII(s))
            return false;
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        const char *p = (const char *) PyUnicode_1BYTE_DATA(s);
        auto letter = [](unsigned char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        };
        if (n == 0 || !letter((unsigned char) p[0]))
            return false;
        if (n >= 3 && (p[0] | 0x20) == 'x' && (p[1] | 0x20) == 'm' && (p[2] | 0x20) == 'l')
            return false;
        for (Py_ssize_t i = 1; i < n; ++i) {
            unsigned char c = (unsigned char) p[i];
            if (!(letter(c) || (c >= '0' && c <= '9') || c == '.' || c == '-'))
                return false;
        }
        known = nb::borrow(s);
        put(p, (size_t) n);
        return true;
    }

    void put_utf8(Py_UCS4 c) {
        char b[4];
        size_t n;
        if (c < 0x800) {
            b[0] = (char) (0xc0 | (c >> 6));
            b[1] = (char) (0x80 | (c & 0x3f));
            n = 2;
        } else if (c < 0x10000) {
            b[0] = (char) (0xe0 | (c >> 12));
            b[1] = (char) (0x80 | ((c >> 6) & 0x3f));
            b[2] = (char) (0x80 | (c & 0x3f));
            n = 3;
        } else {
            b[0] = (char) (0xf0 | (c >> 18));
            b[1] = (char) (0x80 | ((c >> 12) & 0x3f));
            b[2] = (char) (0x80 | ((c >> 6) & 0x3f));
            b[3] = (char) (0x80 | (c & 0x3f));
            n = 4;
        }
        put(b, n);
    }

    // Printable ASCII that is written as it is, in text and attributes.
    static bool verbatim(Py_UCS4 c) {
        return c >= 0x20 && c < 0x7f && c != '&' && c != '<' && c != '>' && c != '"';
    }

    // Character data as the round trip leaves it: the parser turns CR LF
    // and lone CR in text into LF (ElementTree writes them raw there, and
    // as character references in attribute values); minidom escapes the rest.
    template <typename T>
    bool chars(const T *p, Py_ssize_t n, bool attr) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            // Runs of plain characters, most of a report, in one append.
            Py_ssize_t run = i;
            while (run < n && verbatim(p[run]))
                ++run;
            if (run > i) {
                if constexpr (sizeof(T) == 1) {
                    put((const char *) p + i, (size_t) (run - i));
                } else {
                    std::string &o = out();
                    size_t at = o.size();
                    o.resize(at + (size_t) (run - i));
                    for (Py_ssize_t k = i; k < run; ++k)
                        o[at++] = (char) p[k];
                }
                i = run;
                if (i == n)
                    break;
            }
            Py_UCS4 c = p[i];
            if (c >= 0x80) {
                if ((c >= 0xd800 && c <= 0xdfff) || c == 0xfffe || c == 0xffff)
                    return false;
                put_utf8(c);
                continue;
            }
            switch (c) {
                case '&': put("&amp;"); break;
                case '<': put("&lt;"); break;
                case '>': put("&gt;"); break;
                case '"':
                    if (attr || style_.quote_in_text)
                        put("&quot;");
                    else
                        put('"');
                    break;
                case '\t':
                    if (attr && style_.attr_ws_refs)
                        put("&#9;");
                    else
                        put('\t');
                    break;
                case '\n':
                    if (attr && style_.attr_ws_refs)
                        put("&#10;");
                    else
                        put('\n');
                    break;
                case '\r':
                    if (attr)
                        style_.attr_ws_refs ? put("&#13;") : put('\r');
                    else if (!(i + 1 < n && p[i + 1] == '\n'))
                        put('\n');
                    break;
                default:
                    if (c < 0x20)
                        return false;  // not allowed in XML 1.0
                    put((char) c);
            }
        }
        return true;
    }

    bool text(PyObject *s, bool attr) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND: return chars(PyUnicode_1BYTE_DATA(s), n, attr);
            case PyUnicode_2BYTE_KIND: return chars(PyUnicode_2BYTE_DATA(s), n, attr);
            default: return chars(PyUnicode_4BYTE_DATA(s), n, attr);
        }
    }

    bool element(PyObject *e, int depth) {
        if (Py_TYPE(e) != element_type_ || depth > max_depth)
            return false;
        nb::object tag = tag_(e);
        indent(depth);
        put('<');
        if (!name(tag.ptr()))
            return false;
        nb::object attrib = attrib_(e);
        if (!PyDict_Check(attrib.ptr()))
            return false;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(attrib.ptr(), &pos, &key, &value)) {
            put(' ');
            if (!name(key) || !PyUnicode_CheckExact(value))
                return false;
            put("=\"");
            if (!text(value, true))
                return false;
            put('"');
        }
        nb::object content = text_(e);
        Text kind = text_kind(content.ptr());
        if (kind == Text::foreign)
            return false;
        Py_ssize_t n = PySequence_Size(e);
        check(n >= 0);
        if (n == 0 && kind == Text::none) {
            put("/>\n");
            cut();
            return true;
        }
        put('>');
        if (n == 0) {  // a lone text node stays on the line
            if (!text(content.ptr(), false))
                return false;
        } else {
            put('\n');
            if (kind == Text::some && !text_line(content.ptr(), depth + 1))
                return false;
            for (Py_ssize_t i = 0; i < n; ++i) {
                nb::object child = steal_checked(PySequence_GetItem(e, i));
                if (!element(child.ptr(), depth + 1))
                    return false;
                nb::object tail = tail_(child);
                Text tail_kind = text_kind(tail.ptr());
                if (tail_kind == Text::foreign)
                    return false;
                if (tail_kind == Text::some && !text_line(tail.ptr(), depth + 1))
                    return false;
            }
            indent(depth);
        }
        put("</");
        put((const char *) PyUnicode_1BYTE_DATA(tag.ptr()), (size_t) PyUnicode_GET_LENGTH(tag.ptr()));
        put(">\n");
        cut();
        return true;
    }

    // A text node among elements: on a line of its own, indented.
    bool text_line(PyObject *s, int depth) {
        indent(depth);
        if (!text(s, false))
            return false;
        put('\n');
        cut();
        return true;
    }

    PyTypeObject *element_type_;
    MinidomStyle style_;
    ElementField tag_, attrib_, text_, tail_;
    std::vector<std::string> blocks_;
    // Names found valid, by identity: a document's tags and attribute names
    // are a few strings repeated 10^5 times. The references keep each
    // address from being reused by another string meanwhile.
    std::array<nb::object, 64> known_names_;
};

// ElementTree and minidom as the module imported them: the direct writer
// stands in for them only while neither is replaced.
struct XmlLibs {
    nb::object et, tostring, element, minidom, parse_string;
    nb::object open, text_io;  // the built-in open() and what it gives for text

    // The running minidom's style: -1 not yet probed, 0 unknown, else 1 + index.
    static inline int style_state = -1;
    static constexpr MinidomStyle styles[] = {
        {false, true}, {true, false}, {false, false}, {true, true}};

    bool in_place() const {
        if (!scope[N.ET].is(et) || !scope[N.minidom].is(minidom))
            return false;
        nb::object f = get_optional_attr(et, N.tostring), g = get_optional_attr(et, N.Element),
                   h = get_optional_attr(minidom, N.parseString);
        return f.is(tostring) && g.is(element) && h.is(parse_string) &&
               PyType_Check(element.ptr());
    }

    // The direct writer for the running minidom, when its style is known.
    bool writer_style(MinidomStyle &style) const {
        if (style_state < 0)
            style_state = probe();
        if (style_state == 0)
            return false;
        style = styles[style_state - 1];
        return true;
    }

    // Compares the generic path with each style on a tree holding every
    // character whose writing differs between minidom versions.
    int probe() const {
        nb::dict attrs;
        attrs["a"] = nb::str("\"\t\n\r&<>'\u00e9");
        nb::object root = call(element, {nb::str("p"), attrs});
        set_attr(root, N.text, nb::str("\"t&<>\r\n\r'\t"));
        nb::object child = call_method(et, N.SubElement, {root, nb::str("c")});
        set_attr(child, N.tail, nb::str("\"\r\n"));
        nb::object rough = call(tostring, {root, nb::handle(N.utf8)}, N.kw_encoding);
        nb::object doc = call(parse_string, {rough});
        nb::object text = call_method(doc, N.toprettyxml, {nb::handle(N.two_blanks)}, N.kw_indent);
        Py_ssize_t size;
        const char *expected = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
        check(expected != nullptr);
        for (int i = 0; i < 4; ++i) {
            Pretty p((PyTypeObject *) element.ptr(), styles[i]);
            if (p.document(root) && p.joined() == std::string(expected, (size_t) size))
                return i + 1;
        }
        return 0;
    }

    // The pretty text of `root` written directly, or false for the generic path.
    bool render(nb::handle root, std::vector<std::string> &blocks) const {
        MinidomStyle style;
        if (!in_place() || !writer_style(style))
            return false;
        Pretty p((PyTypeObject *) element.ptr(), style);
        if (!p.document(root))
            return false;
        blocks = p.take_blocks();
        return true;
    }
};

// A pretty-printed document: blocks of UTF-8 from the direct writer, or the
// str that minidom gave.
struct PrettyText {
    std::vector<std::string> blocks;
    nb::object text;
};

// Writes the UTF-8 blocks to a file that open() gave for text: through its
// binary buffer, without decoding them into str and encoding them back, when
// that is bound to give the same bytes (the built-in open(), a UTF-8
// TextIOWrapper, and "\n" written as it is, which Windows would not do).
void write_blocks(nb::handle file, const std::vector<std::string> &blocks, bool raw) {
#ifdef _WIN32
    raw = false;
#endif
    if (!raw) {
        for (const std::string &block : blocks) {
            nb::object chunk = steal_checked(
                PyUnicode_DecodeUTF8(block.data(), (Py_ssize_t) block.size(), nullptr));
            call_method(file, N.write, {chunk});
        }
        return;
    }
    call_method(file, N.flush, {});
    nb::object buffer = get_attr(file, N.buffer);
    for (const std::string &block : blocks) {
        nb::object view = steal_checked(PyMemoryView_FromMemory(
            const_cast<char *>(block.data()), (Py_ssize_t) block.size(), PyBUF_READ));
        call_method(buffer, N.write, {view});
        call_method(view, N.release, {});  // nothing may read the block later
    }
}

// with open(path, "w", encoding="utf-8") as f: f.write(text)
void write_pretty(nb::handle path, const PrettyText &doc, const XmlLibs &libs) {
    if (doc.text.is_valid()) {
        write_text(path, doc.text);
        return;
    }
    nb::object open = global_or_builtin(N.open);
    nb::object f = call(open, {path, nb::handle(N.mode_w), nb::handle(N.utf8)}, N.kw_encoding);
    with_file(f, [&](nb::handle file) {
        bool raw = open.is(libs.open) && Py_TYPE(file.ptr()) == (PyTypeObject *) libs.text_io.ptr() &&
                   equal(get_attr(file, N.encoding), N.utf8);
        write_blocks(file, doc.blocks, raw);
    });
}

nb::object subelement(nb::handle parent, PyObject *tag) {
    return call_method(scope[N.ET], N.SubElement, {parent, nb::handle(tag)});
}

// The summary's attribute value: the text, or "" when the value is falsy.
nb::object attribute_text(nb::handle value) {
    return truthy(value) ? xml_text(value) : nb::borrow(N.empty);
}

// Cyclic garbage collection paused for the length of a call, as it was.
// A conversion creates around ten container objects per section and no
// cycles; collections in between would only walk the report tree again
// and again (about 40% of the time of a large job).
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable()) {}
    ~GcPause() {
        if (was_enabled_)
            PyGC_Enable();
    }
    GcPause(const GcPause &) = delete;
    GcPause &operator=(const GcPause &) = delete;

private:
    int was_enabled_;
};

nb::object generate_xml(const XmlLibs &libs, nb::handle self) {
    GcPause pause;
    nb::object legacy_run = call(scope[N.Runsheaf], {});
    set_attr(get_attr(self, N.zelreport), N.runsheaf, legacy_run);
    call_method(self, N._handle_runsheaf, {legacy_run, get_attr(self, N._runsheaf)});

    nb::object dom = call_method(get_attr(self, N.zelreport), N.generate_dom, {});
    PrettyText details;
    nb::object rough;
    // The direct writer needs no unformatted bytes; they are made when the
    // generic path runs, or after a failure, for xml_rough_string.
    if (!libs.render(dom, details.blocks))
        rough = tostring(dom);
    try {
        if (rough.is_valid())
            details.text = pretty(rough);
        write_pretty(concat(get_attr(self, N.logsdir), N.details_file), details, libs);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        // Keep the raw document for whoever debugs the failure.
        try {
            if (!rough.is_valid())
                rough = tostring(dom);
            write_bytes(concat(get_attr(self, N.logsdir), N.rough_file), rough);
        } catch (nb::python_error &e2) {
            chain_context(e2.value(), e.value());
            throw;
        }
        throw;
    }
    details = PrettyText();

    nb::object run = get_attr(get_attr(self, N.zelreport), N.runsheaf);
    nb::object info = get_attr(run, N.initinfo);
    nb::dict attrs;
    attrs[N.archive_attr] = attribute_text(get_attr(run, N.archivefile));
    attrs[N.korb_attr] = attribute_text(get_attr(get_attr(info, N.korb), N.path));
    nb::object root = call_method(scope[N.ET], N.Element, {nb::handle(N.job_summary), attrs});
    set_attr(subelement(root, N.job_name), N.text, xml_text(get_attr(info, N.name)));
    set_attr(subelement(root, N.image), N.text, xml_text(get_attr(info, N.image)));
    call_method(get_attr(run, N.summary), N.generate_resultsonly_dom, {root});
    for (PyObject *tag : {N.starttime, N.stoptime, N.runtime})
        call_method(run, N.generate_simple_elt_dom, {root, nb::handle(tag)});
    for (PyObject *tag : {N.testbed, N.release, N.submitter, N.user})
        call_method(info, N.generate_simple_elt_dom, {root, nb::handle(tag)});
    set_attr(subelement(root, N.debug_profile), N.text, N.debug_value);
    nb::object hosts = get_attr(info, N.hosts);
    Py_ssize_t nhosts = PyObject_Length(hosts.ptr());
    check(nhosts >= 0);
    if (nhosts < 1)
        subelement(root, N.host);
    else
        call_method(hosts, N.generate_dom, {root});

    PrettyText summary;
    if (!libs.render(root, summary.blocks))
        summary.text = pretty(tostring(root));
    write_pretty(concat(get_attr(self, N.logsdir), N.summary_file), summary, libs);
    return nb::none();
}

// `from <module> import <name>`: ImportError when the module lacks it.
nb::object from_import(const char *module, const char *name) {
    // A fromlist makes the import system load `name` when it is a submodule.
    nb::object fromlist = nb::make_tuple(nb::str(name));
    nb::object mod = steal_checked(
        PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0));
    nb::object value = get_optional_attr(mod, interned(name));
    if (!value.is_valid()) {
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
        throw nb::python_error();
    }
    return value;
}

using SectionHandler = nb::object (*)(const Own &, nb::handle, nb::handle, nb::handle);

// A section handler as a method, given what the module made for it.
template <SectionHandler Handler>
auto with_own(const Own &own) {
    return [own](nb::handle self, nb::handle L, nb::handle S) { return Handler(own, self, L, S); };
}

// Every parameter takes any object, None included, by position or keyword.
auto arg(const char *name) { return nb::arg(name).none(); }

}  // namespace

NB_MODULE(brevlet, m) {
    m.doc() = "The legacy XML result files ResultsDetails.xml and ResultsSummary.xml.";
    init_names();
    scope.bind(m);
    PyDateTime_IMPORT;
    check(PyDateTimeAPI != nullptr);

    m.attr("os") = steal_checked(PyImport_ImportModule("os"));
    m.attr("re") = steal_checked(PyImport_ImportModule("re"));
    m.attr("ET") = steal_checked(PyImport_ImportModule("xml.etree.ElementTree"));
    m.attr("minidom") = from_import("xml.dom", "minidom");
    m.attr("cfg") = from_import("vexa.configuration", "configuration");
    m.attr("Passed") = from_import("vexa.results", "Passed");
    m.attr("ZelReport") = from_import("vexa.zelreport.toplevel.zelreport_top", "ZelReport");
    m.attr("Runsheaf") = from_import("vexa.zelreport.runsheaf", "Runsheaf");
    m.attr("TestScript") = from_import("vexa.zelreport.testscript", "TestScript");

    // The characters U+0000 to U+0008 and U+001B, written raw.
    static const char pattern_text[] = "[\x00-\x08]|\x1b";
    nb::object pattern_str = steal_checked(
        PyUnicode_FromStringAndSize(pattern_text, sizeof pattern_text - 1));
    nb::object pattern = call_method(m.attr("re"), interned("compile"), {pattern_str});
    m.attr("ESCAPE_SEQUENCE") = pattern;

    nb::object repl = module_function(
        m, "_escape_repl", [](nb::handle match) { return escape_repl(match); },
        nb::sig("def _escape_repl(match)"), arg("match"), "\n    escape control characters\n    ");
    m.attr("_escape_repl") = repl;

    Escape escape{pattern, repl};
    nb::object escape_fn = module_function(
        m, "escape", [escape](nb::handle string) { return escape(string); },
        nb::sig("def escape(string)"), arg("string"));
    m.attr("escape") = escape_fn;

    EscapeData escape_data_impl{escape_fn, escape};
    Own own{module_function(
        m, "escape_data", [escape_data_impl](nb::handle data) { return escape_data_impl(data); },
        nb::sig("def escape_data(data)"), arg("data"))};
    m.attr("escape_data") = own.escape_data;

    XmlLibs libs;
    libs.et = m.attr("ET");
    libs.tostring = libs.et.attr("tostring");
    libs.element = libs.et.attr("Element");
    libs.minidom = m.attr("minidom");
    libs.parse_string = libs.minidom.attr("parseString");
    nb::object io = steal_checked(PyImport_ImportModule("io"));
    libs.open = io.attr("open");
    libs.text_io = io.attr("TextIOWrapper");

    ClassBuilder(m, "Brevlet")
        .method("__init__", &init, nb::sig("def __init__(self, logsdir, runsheaf)"),
                arg("logsdir"), arg("runsheaf"))
        .method("generate_xml",
                [libs](nb::handle self, nb::handle /*client*/, nb::handle /*kwargs*/) {
                    return generate_xml(libs, self);
                },
                nb::sig("def generate_xml(self, client, kwargs)"), arg("client"), arg("kwargs"),
                "Generate the ResultsDetails.xml and ResultsSummary.xml files needed by\n"
                "        many other services.\n"
                "        ")
        .method("_handle_runsheaf", &handle_runsheaf,
                nb::sig("def _handle_runsheaf(self, zelts, runsheaf)"), arg("zelts"),
                arg("runsheaf"),
                "Populate ZelReport's Runsheaf with information from Reporter's\n"
                "        Runsheaf.\n"
                "        ")
        .method("_handle_jobexecution", &handle_jobexecution,
                nb::sig("def _handle_jobexecution(self, zeljobexc, runsheaf)"),
                arg("zeljobexc"), arg("runsheaf"),
                "Populate an ZelReport JobExecution with information from a Reporter\n"
                "        Runsheaf.\n"
                "        ")
        .method("_handle_testscript", &handle_testscript,
                nb::sig("def _handle_testscript(self, zelts, task)"), arg("zelts"), arg("task"),
                "Populate an ZelReport TestScript with information from a Reporter\n"
                "        TestScript.\n"
                "        ")
        .method("_handle_commonsection", with_own<&handle_commonsection>(own),
                nb::sig("def _handle_commonsection(self, zelcommsect, commonsection)"),
                arg("zelcommsect"), arg("commonsection"),
                "Populate an ZelReport TestSection representing a\n"
                "        CommonStartup/CommonCleanup with information from a Reporter Section.\n"
                "        ")
        .method("_handle_testcase", with_own<&handle_testcase>(own),
                nb::sig("def _handle_testcase(self, zeltc, testcase)"), arg("zeltc"),
                arg("testcase"))
        .method("_handle_subsection", with_own<&handle_subsection>(own),
                nb::sig("def _handle_subsection(self, zelsubsect, subsection)"),
                arg("zelsubsect"), arg("subsection"))
        .method("_handle_testsection", with_own<&handle_testsection>(own),
                nb::sig("def _handle_testsection(self, zeltest, testsection)"),
                arg("zeltest"), arg("testsection"))
        .method("_handle_step", with_own<&handle_step>(own), nb::sig("def _handle_step(self, zelstep, step)"),
                arg("zelstep"), arg("step"))
        .build(nb::make_tuple(nb::handle((PyObject *) &PyBaseObject_Type)));
}
