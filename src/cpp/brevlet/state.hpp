// What the brevlet module keeps between calls: its names, made at import
// for the life of the process, and its state, made at import and released
// in one place at interpreter exit.
#pragma once

#include "../common/classes.hpp"
#include "../common/unchanged.hpp"

#include <memory>

namespace vexa::brevlet {

#define BREVLET_NAMES(X)                                                     \
    X(starttime, "starttime") X(stoptime, "stoptime") X(runtime, "runtime")  \
    X(replace, "replace") X(id, "id") X(name, "name") X(type, "type")        \
    X(description, "description") X(xref, "xref") X(logs, "logs")            \
    X(file, "file") X(line, "line") X(logfile, "logfile")                    \
    X(filepath, "filepath") X(attrs, "attrs") X(begin, "begin")              \
    X(size, "size") X(result, "result") X(value, "value")                    \
    X(details, "details") X(runinfo, "runinfo") X(set_args, "set_args")      \
    X(extra, "extra") X(update, "update") X(sections, "sections")            \
    X(add_testsection, "add_testsection") X(add_teststep, "add_teststep")    \
    X(add_commonsubsection, "add_commonsubsection")                          \
    X(_handle_runsheaf, "_handle_runsheaf")                                  \
    X(_handle_jobexecution, "_handle_jobexecution")                          \
    X(_handle_testscript, "_handle_testscript")                              \
    X(_handle_commonsection, "_handle_commonsection")                        \
    X(_handle_testcase, "_handle_testcase")                                  \
    X(_handle_subsection, "_handle_subsection")                              \
    X(_handle_testsection, "_handle_testsection")                            \
    X(_handle_step, "_handle_step") X(initinfo, "initinfo")                  \
    X(jobid, "jobid") X(archivefile, "archivefile") X(testbed, "testbed")    \
    X(release, "release") X(image, "image") X(submitter, "submitter")        \
    X(user, "user") X(host, "host") X(hosts, "hosts") X(append, "append")    \
    X(cli, "cli") X(params, "params") X(vexapath, "vexapath")                \
    X(korb, "korb") X(path, "path") X(vexaversion, "vexaversion")            \
    X(version, "version") X(summary, "summary") X(trova, "trova")            \
    X(dnsname, "dnsname") X(attributes, "attributes") X(post, "post")        \
    X(status, "status") X(cmd, "cmd") X(error, "error")                      \
    X(jobexecution, "jobexecution") X(tasks, "tasks")                        \
    X(add_testscript, "add_testscript") X(parameters, "parameters")          \
    X(pargs, "pargs") X(testscript, "testscript") X(script, "script")        \
    X(add_testcase, "add_testcase") X(idtypevalue, "idtypevalue")            \
    X(swversion, "swversion") X(hwversion, "hwversion")                      \
    X(fwversion, "fwversion") X(tstversion, "tstversion") X(index, "index")  \
    X(continue_, "continue_") X(copy, "copy") X(pop, "pop") X(get, "get")     \
    X(zelreport, "zelreport") X(logsdir, "logsdir")                          \
    X(_runsheaf, "_runsheaf") X(generate_dom, "generate_dom")                \
    X(tostring, "tostring") X(parseString, "parseString")                    \
    X(toprettyxml, "toprettyxml") X(Element, "Element")                      \
    X(SubElement, "SubElement") X(text, "text")                              \
    X(generate_resultsonly_dom, "generate_resultsonly_dom")                  \
    X(generate_simple_elt_dom, "generate_simple_elt_dom") X(write, "write")  \
    X(endswith, "endswith") X(basename, "basename") X(dirname, "dirname")    \
    X(encode, "encode") X(decode, "decode") X(sub, "sub") X(group, "group")  \
    X(open, "open") X(os, "os") X(ET, "ET") X(minidom, "minidom")            \
    X(ZelReport, "ZelReport") X(Runsheaf, "Runsheaf")                        \
    X(TestScript, "TestScript") X(ESCAPE_SEQUENCE, "ESCAPE_SEQUENCE")        \
    X(_escape_repl, "_escape_repl") X(escape, "escape")                      \
    X(escape_data, "escape_data") X(runsheaf, "runsheaf") X(items, "items")  \
    X(ord, "ord") X(tail, "tail") X(attrib, "attrib") X(tag, "tag")          \
    X(buffer, "buffer") X(flush, "flush") X(encoding, "encoding")            \
    X(empty, "") X(none_text, "None") X(processor, "Processor")              \
    X(common_setup, "CommonSetup") X(common_cleanup, "CommonCleanup")        \
    X(common_setup_id, "commonSetup") X(common_cleanup_id, "commonCleanup")  \
    X(details_file, "/ResultsDetails.xml")                                   \
    X(summary_file, "/ResultsSummary.xml")                                   \
    X(rough_file, "/xml_rough_string") X(utf8, "utf-8") X(two_blanks, "  ")  \
    X(mode_w, "w") X(mode_wb, "wb") X(job_summary, "jobSummary")             \
    X(archive_attr, "archiveFilename") X(korb_attr, "korbTreePath")          \
    X(job_name, "jobName") X(debug_profile, "debugProfile")                  \
    X(debug_value, "0") X(backslashreplace, "backslashreplace")

struct Names {
    BREVLET_NAMES(VEXA_NAME_FIELD)
    PyObject *minus_one = nullptr, *zero = nullptr;
    // Keyword-name tuples for call() and call_method().
    PyObject *kw_microsecond = nullptr, *kw_diag = nullptr, *kw_sectionid = nullptr,
             *kw_id_name = nullptr, *kw_name = nullptr, *kw_tcid_logfilepath = nullptr,
             *kw_encoding = nullptr, *kw_indent = nullptr, *kw_errors = nullptr;

    void intern() {
        BREVLET_NAMES(VEXA_NAME_INTERN)
        minus_one = PyLong_FromLong(-1);
        zero = PyLong_FromLong(0);
        check(minus_one && zero);
        kw_microsecond = kwnames({"microsecond"});
        kw_diag = kwnames({"diag"});
        kw_sectionid = kwnames({"sectionid"});
        kw_id_name = kwnames({"id", "name"});
        kw_name = kwnames({"name"});
        kw_tcid_logfilepath = kwnames({"tcid", "logfilepath"});
        kw_encoding = kwnames({"encoding"});
        kw_indent = kwnames({"indent"});
        kw_errors = kwnames({"errors"});
    }
};

inline Names N;

struct State {
    explicit State(nb::handle module)
        : escape_pins(scope), own(scope), xml(scope), builtin_open(scope) {
        scope.bind(module);
    }

    ModuleScope scope;
    // escape(): its one C++ pass while ESCAPE_SEQUENCE and _escape_repl are
    // the module's own.
    Pins escape_pins;
    // The module's own escape() and escape_data(), as bound at import.
    Pins own;
    Pins::Id escape = -1, escape_data = -1;
    // ElementTree and minidom as the module imported them: the direct XML
    // writer stands in for them only while they hold.
    Pins xml;
    Pins::Id et = -1, tostring = -1, element = -1, minidom = -1, parse_string = -1;
    // How the running minidom writes character data: -1 not yet probed,
    // 0 unknown (the direct writer stays off), else 1 + its index.
    int minidom_style = -1;
    // The built-in open(), whose text files take UTF-8 blocks directly.
    Pins builtin_open;
    Pins::Id io_open = -1;
    nb::object text_io;  // io.TextIOWrapper

    // At interpreter exit: every object let go, every fast path off.
    void release() {
        escape_pins.release();
        own.release();
        xml.release();
        builtin_open.release();
        text_io.reset();
    }
};

inline State *state = nullptr;  // made at import, never freed: methods may run late

}  // namespace vexa::brevlet
