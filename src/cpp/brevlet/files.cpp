// The two files: generate_xml() builds the legacy document, has it written
// pretty (directly, or by minidom), and writes ResultsDetails.xml and
// ResultsSummary.xml; the unformatted document goes to xml_rough_string when
// writing fails.
#include "files.hpp"

#include "../common/calls.hpp"
#include "escaping.hpp"
#include "pretty_xml.hpp"

#include <string>
#include <vector>

namespace vexa::brevlet {

namespace {

nb::object concat(nb::handle a, nb::handle b) {
    return steal_checked(PyNumber_Add(a.ptr(), b.ptr()));
}

// with open(path, "w", encoding="utf-8") as f: f.write(text)
// UTF-8 because the files declare no encoding, which readers take as UTF-8.
void write_text(const State &s, nb::handle path, nb::handle text) {
    nb::object open = s.scope.global_or_builtin(N.open);
    nb::object f = call(open, {path, nb::handle(N.mode_w), nb::handle(N.utf8)}, N.kw_encoding);
    with_context(f, [&](nb::handle file) { call_method(file, N.write, text); });
}

void write_bytes(const State &s, nb::handle path, nb::handle data) {
    nb::object open = s.scope.global_or_builtin(N.open);
    nb::object f = call(open, {path, nb::handle(N.mode_wb)});
    with_context(f, [&](nb::handle file) { call_method(file, N.write, data); });
}

nb::object pretty(const State &s, nb::handle rough) {
    nb::object doc = call_method(s.scope[N.minidom], N.parseString, {rough});
    return call_method(doc, N.toprettyxml, {nb::handle(N.two_blanks)}, N.kw_indent);
}

nb::object tostring(const State &s, nb::handle element) {
    return call_method(s.scope[N.ET], N.tostring, {element, nb::handle(N.utf8)}, N.kw_encoding);
}


// A pretty-printed document: blocks of UTF-8 from the direct writer, or the
// str that minidom gave.
struct PrettyText {
    std::vector<TextOut> blocks;
    nb::object text;
};

// Writes the UTF-8 blocks to a file that open() gave for text: through its
// binary buffer, without decoding them into str and encoding them back, when
// that is bound to give the same bytes (the built-in open(), a UTF-8
// TextIOWrapper, and "\n" written as it is, which Windows would not do).
void write_blocks(nb::handle file, const std::vector<TextOut> &blocks, bool raw) {
#ifdef _WIN32
    raw = false;
#endif
    if (!raw) {
        for (const TextOut &block : blocks)
            call_method(file, N.write, block.utf8_str());
        return;
    }
    call_method(file, N.flush);
    nb::object buffer = get_attr(file, N.buffer);
    for (const TextOut &block : blocks) {
        nb::object view = steal_checked(PyMemoryView_FromMemory(
            const_cast<char *>(block.data()), (Py_ssize_t) block.size(), PyBUF_READ));
        call_method(buffer, N.write, view);
        call_method(view, N.release);  // nothing may read the block later
    }
}

// with open(path, "w", encoding="utf-8") as f: f.write(text)
void write_pretty(const State &s, nb::handle path, const PrettyText &doc) {
    if (doc.text.is_valid()) {
        write_text(s, path, doc.text);
        return;
    }
    nb::object open = s.scope.global_or_builtin(N.open);
    nb::object f = call(open, {path, nb::handle(N.mode_w), nb::handle(N.utf8)}, N.kw_encoding);
    with_context(f, [&](nb::handle file) {
        bool raw = s.builtin_open.holds() && open.is(s.builtin_open[s.io_open]) &&
                   Py_TYPE(file.ptr()) == (PyTypeObject *) s.text_io.ptr() &&
                   equal(get_attr(file, N.encoding), N.utf8);
        write_blocks(file, doc.blocks, raw);
    });
}

nb::object subelement(const State &s, nb::handle parent, PyObject *tag) {
    return call_method(s.scope[N.ET], N.SubElement, {parent, nb::handle(tag)});
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

}  // namespace

nb::object generate_xml(State &s, nb::handle self) {
    GcPause pause;
    nb::object legacy_run = call(s.scope[N.Runsheaf]);
    set_attr(get_attr(self, N.zelreport), N.runsheaf, legacy_run);
    call_method(self, N._handle_runsheaf, {legacy_run, get_attr(self, N._runsheaf)});

    nb::object dom = call_method(get_attr(self, N.zelreport), N.generate_dom);
    PrettyText details;
    nb::object rough;
    // The direct writer needs no unformatted bytes; they are made when the
    // generic path runs, or after a failure, for xml_rough_string.
    if (!render_pretty(s, dom, details.blocks))
        rough = tostring(s, dom);
    try {
        if (rough.is_valid())
            details.text = pretty(s, rough);
        write_pretty(s, concat(get_attr(self, N.logsdir), N.details_file), details);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        // Keep the raw document for whoever debugs the failure.
        try {
            if (!rough.is_valid())
                rough = tostring(s, dom);
            write_bytes(s, concat(get_attr(self, N.logsdir), N.rough_file), rough);
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
    nb::object root = call_method(s.scope[N.ET], N.Element, {nb::handle(N.job_summary), attrs});
    set_attr(subelement(s, root, N.job_name), N.text, xml_text(get_attr(info, N.name)));
    set_attr(subelement(s, root, N.image), N.text, xml_text(get_attr(info, N.image)));
    call_method(get_attr(run, N.summary), N.generate_resultsonly_dom, {root});
    for (PyObject *tag : {N.starttime, N.stoptime, N.runtime})
        call_method(run, N.generate_simple_elt_dom, {root, nb::handle(tag)});
    for (PyObject *tag : {N.testbed, N.release, N.submitter, N.user})
        call_method(info, N.generate_simple_elt_dom, {root, nb::handle(tag)});
    set_attr(subelement(s, root, N.debug_profile), N.text, N.debug_value);
    nb::object hosts = get_attr(info, N.hosts);
    Py_ssize_t nhosts = PyObject_Length(hosts.ptr());
    check(nhosts >= 0);
    if (nhosts < 1)
        subelement(s, root, N.host);
    else
        call_method(hosts, N.generate_dom, {root});

    PrettyText summary;
    if (!render_pretty(s, root, summary.blocks))
        summary.text = pretty(s, tostring(s, root));
    write_pretty(s, concat(get_attr(self, N.logsdir), N.summary_file), summary);
    return nb::none();
}


}  // namespace vexa::brevlet
