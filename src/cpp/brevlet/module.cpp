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

#include <utility>

using namespace vexa;
using namespace vexa::brevlet;

namespace {

// Every parameter takes any object, None included, by position or keyword.
auto arg(const char *name) { return nb::arg(name).none(); }

}  // namespace

NB_MODULE(brevlet, m) {
    m.doc() = "The legacy XML result files ResultsDetails.xml and ResultsSummary.xml.";
    N.intern();
    // A module imported afresh replaces the state; the old one is let go.
    State *previous = std::exchange(state, new State(m));
    if (previous)
        previous->release();

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

    m.attr("_escape_repl") = module_function(
        m, "_escape_repl", &escape_repl, nb::sig("def _escape_repl(match)"), arg("match"),
        "\n    escape control characters\n    ");

    m.attr("escape") = module_function(m, "escape", &escape, nb::sig("def escape(string)"),
                                       arg("string"));
    m.attr("escape_data") = module_function(m, "escape_data", &escape_data,
                                            nb::sig("def escape_data(data)"), arg("data"));

    // What the fast paths stand in for, as bound now.
    State &s = *state;
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

    ClassBuilder(m, "Brevlet")
        .method("__init__", &init, nb::sig("def __init__(self, logsdir, runsheaf)"),
                arg("logsdir"), arg("runsheaf"))
        .method("generate_xml",
                [](nb::handle self, nb::handle /*client*/, nb::handle /*kwargs*/) {
                    return generate_xml(self);
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
        .method("_handle_commonsection", &handle_commonsection,
                nb::sig("def _handle_commonsection(self, zelcommsect, commonsection)"),
                arg("zelcommsect"), arg("commonsection"),
                "Populate an ZelReport TestSection representing a\n"
                "        CommonStartup/CommonCleanup with information from a Reporter Section.\n"
                "        ")
        .method("_handle_testcase", &handle_testcase,
                nb::sig("def _handle_testcase(self, zeltc, testcase)"), arg("zeltc"),
                arg("testcase"))
        .method("_handle_subsection", &handle_subsection,
                nb::sig("def _handle_subsection(self, zelsubsect, subsection)"),
                arg("zelsubsect"), arg("subsection"))
        .method("_handle_testsection", &handle_testsection,
                nb::sig("def _handle_testsection(self, zeltest, testsection)"),
                arg("zeltest"), arg("testsection"))
        .method("_handle_step", &handle_step, nb::sig("def _handle_step(self, zelstep, step)"),
                arg("zelstep"), arg("step"))
        .build(object_bases());

    // The one exit hook: let go of every held object before the
    // interpreter's leak checks.
    nb::module_::import_("atexit").attr("register")(nb::cpp_function([] { state->release(); }));
}
