// vexa.reporter.brevlet: the legacy XML result files of a finished report.
//
//   ESCAPE_SEQUENCE, _escape_repl, escape, escape_data
//       control characters and lone surrogates in free text rewritten as
//       visible backslash escapes (escaping.cpp)
//   Brevlet(logsdir, runsheaf)
//       generate_xml: copies the report tree onto the legacy report library's
//       objects (_handle_runsheaf ... _handle_step, one per legacy object:
//       legacy_mapping.cpp), pretty-prints the library's details document
//       into ResultsDetails.xml (pretty_xml.cpp) and writes the job summary
//       into ResultsSummary.xml (files.cpp)
//
// This file assembles the module.
#include "../common/calls.hpp"

#include "escaping.hpp"
#include "files.hpp"
#include "legacy_mapping.hpp"

#include <string>

using namespace vexa;
using namespace vexa::brevlet;

namespace {

// Every parameter takes any object, None included, by position or keyword.
auto arg(const char *name) { return nb::arg(name).none(); }

nb::object generate_xml_method(State &s, nb::handle self, nb::handle /*client*/,
                               nb::handle /*kwargs*/) {
    return generate_xml(s, self);
}

// The docstrings of Brevlet's methods, as Python keeps them.
const char *const generate_doc =
    "Generate the ResultsDetails.xml and ResultsSummary.xml files needed by\n"
    "        many other services.\n"
    "        ";
const char *const runsheaf_doc =
    "Populate ZelReport's Runsheaf with information from Reporter's\n"
    "        Runsheaf.\n"
    "        ";
const char *const jobexecution_doc =
    "Populate an ZelReport JobExecution with information from a Reporter\n"
    "        Runsheaf.\n"
    "        ";
const char *const testscript_doc =
    "Populate an ZelReport TestScript with information from a Reporter\n"
    "        TestScript.\n"
    "        ";
const char *const commonsection_doc =
    "Populate an ZelReport TestSection representing a\n"
    "        CommonStartup/CommonCleanup with information from a Reporter Section.\n"
    "        ";

// Brevlet's methods, in the class's order: each takes two parameters after
// self, and has a docstring where one is given.
struct MethodRow {
    const char *name;
    nb::object (*body)(State &s, nb::handle self, nb::handle first, nb::handle second);
    const char *first, *second, *doc;
};

const MethodRow methods[] = {
    {"__init__", &init, "logsdir", "runsheaf", nullptr},
    {"generate_xml", &generate_xml_method, "client", "kwargs", generate_doc},
    {"_handle_runsheaf", &handle_runsheaf, "zelts", "runsheaf", runsheaf_doc},
    {"_handle_jobexecution", &handle_jobexecution, "zeljobexc", "runsheaf", jobexecution_doc},
    {"_handle_testscript", &handle_testscript, "zelts", "task", testscript_doc},
    {"_handle_commonsection", &handle_commonsection, "zelcommsect", "commonsection",
     commonsection_doc},
    {"_handle_testcase", &handle_testcase, "zeltc", "testcase", nullptr},
    {"_handle_subsection", &handle_subsection, "zelsubsect", "subsection", nullptr},
    {"_handle_testsection", &handle_testsection, "zeltest", "testsection", nullptr},
    {"_handle_step", &handle_step, "zelstep", "step", nullptr},
};

}  // namespace

NB_MODULE(brevlet, m) {
    m.doc() = "The legacy XML result files ResultsDetails.xml and ResultsSummary.xml.";
    State &s = make_state<State>(m);

    m.attr("os") = steal_checked(PyImport_ImportModule("os"));
    m.attr("re") = steal_checked(PyImport_ImportModule("re"));
    m.attr("ET") = steal_checked(PyImport_ImportModule("xml.etree.ElementTree"));
    m.attr("minidom") = import_from("xml.dom", "minidom");
    m.attr("cfg") = import_from("vexa.configuration", "configuration");
    m.attr("Passed") = import_from("vexa.results", "Passed");
    m.attr("ZelReport") = import_from("vexa.zelreport.toplevel.zelreport_top", "ZelReport");
    m.attr("Runsheaf") = import_from("vexa.zelreport.runsheaf", "Runsheaf");
    m.attr("TestScript") = import_from("vexa.zelreport.testscript", "TestScript");

    // The characters U+0000 to U+0008 and U+001B, written raw.
    static const char pattern_text[] = "[\x00-\x08]|\x1b";
    nb::object pattern_str = steal_checked(
        PyUnicode_FromStringAndSize(pattern_text, sizeof pattern_text - 1));
    nb::object pattern = m.attr("re").attr("compile")(pattern_str);
    m.attr("ESCAPE_SEQUENCE") = pattern;

    // Each function of this module reaches this module's state.
    State *state = &s;
    m.attr("_escape_repl") = module_function(
        m, "_escape_repl", [state](nb::handle match) { return escape_repl(*state, match); },
        nb::sig("def _escape_repl(match)"), arg("match"), "\n    escape control characters\n    ");
    m.attr("escape") = module_function(
        m, "escape", [state](nb::handle string) { return escape(*state, string); },
        nb::sig("def escape(string)"), arg("string"));
    m.attr("escape_data") = module_function(
        m, "escape_data", [state](nb::handle data) { return escape_data(*state, data); },
        nb::sig("def escape_data(data)"), arg("data"));

    // What the fast paths stand in for, as bound now.
    s.escape_pins.global(N.ESCAPE_SEQUENCE);
    s.escape_pins.global(N._escape_repl);
    s.escape = s.own.global(N.escape);
    s.escape_data = s.own.global(N.escape_data);
    s.et = s.xml.global(N.ET);
    s.tostring = s.xml.attr(s.et, N.tostring);
    s.element = s.xml.attr(s.et, N.Element);
    s.minidom = s.xml.global(N.minidom);
    s.parse_string = s.xml.attr(s.minidom, N.parseString);
    nb::object io = nb::module_::import_("io");
    s.io_open = s.builtin_open.fixed(io.attr("open"));
    s.text_io = io.attr("TextIOWrapper");

    ClassBuilder cls(m, "Brevlet");
    for (const MethodRow &row : methods) {
        std::string sig = std::string("def ") + row.name + "(self, " + row.first + ", " +
                          row.second + ")";
        auto method = [state, body = row.body](nb::handle self, nb::handle first,
                                               nb::handle second) {
            return body(*state, self, first, second);
        };
        if (row.doc)
            cls.method(row.name, method, nb::sig(sig.c_str()), arg(row.first), arg(row.second),
                       row.doc);
        else
            cls.method(row.name, method, nb::sig(sig.c_str()), arg(row.first), arg(row.second));
    }
    cls.build(object_bases());
}
