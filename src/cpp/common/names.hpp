// The names the modules use, in one table for the package: attribute, key
// and global names as interned str, and the keyword-name tuples of call()
// and call_method(). N.starttime is "starttime". They are made at import and
// kept for the life of the process, as interned strings are anyway; each
// name is listed once, so none can be declared without being made.
#pragma once

#include "python.hpp"

#include <algorithm>

namespace vexa {

// VEXA_EACH(m, a, b, ...) is m(a) m(b) ...; VEXA_EACH_PAIR(m, a, b, c, d,
// ...) is m(a, b) m(c, d) .... Each step takes one of VEXA_EXPAND's 342
// rescans, so a list holds up to 342 entries.
#define VEXA_PARENS ()
#define VEXA_EXPAND(...) VEXA_EXPAND4(VEXA_EXPAND4(VEXA_EXPAND4(VEXA_EXPAND4(__VA_ARGS__))))
#define VEXA_EXPAND4(...) VEXA_EXPAND3(VEXA_EXPAND3(VEXA_EXPAND3(VEXA_EXPAND3(__VA_ARGS__))))
#define VEXA_EXPAND3(...) VEXA_EXPAND2(VEXA_EXPAND2(VEXA_EXPAND2(VEXA_EXPAND2(__VA_ARGS__))))
#define VEXA_EXPAND2(...) VEXA_EXPAND1(VEXA_EXPAND1(VEXA_EXPAND1(VEXA_EXPAND1(__VA_ARGS__))))
#define VEXA_EXPAND1(...) __VA_ARGS__
#define VEXA_EACH(m, ...) __VA_OPT__(VEXA_EXPAND(VEXA_EACH_STEP(m, __VA_ARGS__)))
#define VEXA_EACH_STEP(m, a, ...) m(a) __VA_OPT__(VEXA_EACH_AGAIN VEXA_PARENS(m, __VA_ARGS__))
#define VEXA_EACH_AGAIN() VEXA_EACH_STEP
#define VEXA_EACH_PAIR(m, ...) __VA_OPT__(VEXA_EXPAND(VEXA_PAIR_STEP(m, __VA_ARGS__)))
#define VEXA_PAIR_STEP(m, a, b, ...) m(a, b) __VA_OPT__(VEXA_PAIR_AGAIN VEXA_PARENS(m, __VA_ARGS__))
#define VEXA_PAIR_AGAIN() VEXA_PAIR_STEP

// Names spelled as their field.
#define VEXA_NAMES_SPELLED                                                                      \
    aborted, add_argument, add_commonsubsection, add_testcase, add_testscript,                  \
    add_testsection, add_teststep, append, archivefile, _ARG_ORDER, as_dict, AttrDict,          \
    attrib, attributes, attrs, backslashreplace, basename, begin, blocked, buffer,              \
    c_make_encoder, cli, clone, cmd, continue_, copy, data, datetime, decode, description,      \
    details, dirname, dnsname, dump, dump_all, dumps, Element, encode,                          \
    encode_basestring_ascii, encoding, endswith, ERROR, error, errored, escape, escape_data,    \
    _escape_repl, ESCAPE_SEQUENCE, ET, Explorer, ExplorerSections, extend, extra, failed,       \
    file, filepath, FLOAT_PRECISION, flush, format, from_str, fullid, fwversion,                \
    generate_dom, generate_resultsonly_dom, generate_simple_elt_dom, get, get_runsheaf,         \
    get_section, get_time, getsize, group, _handle_commonsection, _handle_jobexecution,         \
    _handle_runsheaf, _handle_step, _handle_subsection, _handle_testcase, _handle_testscript,   \
    _handle_testsection, health, health_result, health_summary, host, hosts, hwversion, id,     \
    idlist, idtypevalue, image, increase_indent, index, initinfo, isoformat, item_separator,    \
    items, iterencode, jobexecution, jobid, json, JSONDumper, key_separator, korb, line,        \
    list_extend, loads, logfile, logs, logsdir, lower, minidom, name, num_tasks, open, ord,     \
    os, parameters, params, _parent, parent, pargs, parser, parseString, Passed, passed,        \
    passx, path, Plugin, pluginsummary, pop, post, print, read, reason, recursive_update,       \
    release, replace, report, ReportHeader, ReportObjectBase, repr, represent_mapping,          \
    represent_scalar, result, result_rollup, ResultCounter, roll_up, round, rstrip, runinfo,    \
    Runsheaf, _runsheaf, runsheaf, runtime, script, Section, sections, seq_num, set_args,       \
    size, skipped, starttime, status, stoptime, style, sub, SubElement, submitter,              \
    success_rate, summary, swversion, tag, tail, Task, tasks, testbed, TestResult,              \
    TestScript, testscript, text, toprettyxml, tostring, total, total_seconds, totaltasks,      \
    trova, tstversion, type, update, update_extra, user, utcoffset, validate, value,            \
    VALUE_IGNORE, VERSION, version, vexapath, vexaversion, weight, write, xref, yaml,           \
    YAML_FLT, yaml_implicit_resolvers, YAML_MAP, yaml_multi_representers,                       \
    yaml_path_resolvers, yaml_representers, YAML_STR, YAMLDumper, ZelReport, zelreport

// Names that are no C++ identifier, or read better by another: field, text.
#define VEXA_NAMES_RENAMED                                                                      \
    archive_attr, "archiveFilename", client, "_client", common_cleanup, "CommonCleanup",        \
    common_cleanup_id, "commonCleanup", common_setup, "CommonSetup",                            \
    common_setup_id, "commonSetup", debug_profile, "debugProfile", debug_value, "0",            \
    default_, "default", default_tag_prefixes, "DEFAULT_TAG_PREFIXES",                          \
    details_file, "/ResultsDetails.xml", dunder_class, "__class__", dunder_name, "__name__",    \
    empty, "", escape_replacements, "ESCAPE_REPLACEMENTS", id_list, "_id_list",                 \
    init, "__init__", it_count, "_count", it_next, "_next", it_owner, "_owner",                 \
    job_name, "jobName", job_summary, "jobSummary", korb_attr, "korbTreePath", mode_w, "w",     \
    mode_wb, "wb", mro, "__mro__", new_, "__new__", none_text, "None", obj, "_obj",             \
    processor, "Processor", rough_file, "/xml_rough_string", sections_ids, "_sections",         \
    summary_file, "/ResultsSummary.xml", two_blanks, "  ", utf8, "utf-8"

// Keyword-name tuples: field, the keywords separated by blanks.
#define VEXA_KEYWORD_NAMES                                                                      \
    kw_diag, "diag", kw_encoding, "encoding", kw_errors, "errors", kw_id_name, "id name",       \
    kw_indent, "indent", kw_list_extend, "list_extend", kw_microsecond, "microsecond",          \
    kw_name, "name", kw_sectionid, "sectionid", kw_tcid_logfilepath, "tcid logfilepath"

#define VEXA_NAME_FIELD(field) PyObject *field = nullptr;
#define VEXA_RENAMED_FIELD(field, text) PyObject *field = nullptr;
#define VEXA_INTERN_SPELLED(field) field = interned(#field);
#define VEXA_INTERN_RENAMED(field, text) field = interned(text);
#define VEXA_MAKE_KEYWORDS(field, text) field = kwnames(text);

struct Names {
    VEXA_EACH(VEXA_NAME_FIELD, VEXA_NAMES_SPELLED)
    VEXA_EACH_PAIR(VEXA_RENAMED_FIELD, VEXA_NAMES_RENAMED)
    VEXA_EACH_PAIR(VEXA_RENAMED_FIELD, VEXA_KEYWORD_NAMES)
    // The nine health keys, in the order every roll-up walks them.
    PyObject *health_keys[9] = {};
    PyObject *minus_one = nullptr, *zero = nullptr;

    // Called by each module at import; the first call makes them.
    void intern() {
        if (made)
            return;
        VEXA_EACH(VEXA_INTERN_SPELLED, VEXA_NAMES_SPELLED)
        VEXA_EACH_PAIR(VEXA_INTERN_RENAMED, VEXA_NAMES_RENAMED)
        VEXA_EACH_PAIR(VEXA_MAKE_KEYWORDS, VEXA_KEYWORD_NAMES)
        PyObject *keys[9] = {passed, passx, failed, errored, aborted,
                             blocked, skipped, total, success_rate};
        std::copy(keys, keys + 9, health_keys);
        minus_one = PyLong_FromLong(-1);
        zero = PyLong_FromLong(0);
        check(minus_one && zero);
        made = true;
    }

private:
    bool made = false;
};

inline Names N;

}  // namespace vexa
