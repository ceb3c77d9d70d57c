// The pretty XML writer.
//
// Writes what minidom.parseString(ET.tostring(e, encoding="utf-8"))
// .toprettyxml(indent="  ") gives, straight from the element tree, for trees
// where that is bound to be the same text: exact Element nodes whose tags,
// attribute names and values, texts and tails are str; plain ASCII names;
// only characters that XML 1.0 allows; no tail on the root; a modest depth.
// Anything else (comments, namespaces, other types, text the parser would
// reject) takes the generic path, which also decides how it fails (see
// common/fallback.hpp).
#include "pretty_xml.hpp"

#include "../common/calls.hpp"
#include "../common/recursion.hpp"
#include "../common/xml.hpp"

#include <array>
#include <string>
#include <string_view>

namespace vexa::brevlet {

namespace {

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
    }

    // Writes the document; GiveUp when the tree needs the generic path.
    void document(nb::handle root) {
        if (Py_TYPE(root.ptr()) != element_type_)
            throw GiveUp();
        nb::object tail = tail_(root);
        if (!tail.is_none() && !(PyUnicode_CheckExact(tail.ptr()) &&
                                 PyUnicode_GET_LENGTH(tail.ptr()) == 0))
            throw GiveUp();  // text after the root: not a well-formed document
        put("<?xml version=\"1.0\" ?>\n");
        element(root.ptr(), 0);
    }

    // The UTF-8 text, in blocks of about a megabyte.
    std::vector<TextOut> take_blocks() {
        blocks_.push_back(std::move(out_));
        return std::move(blocks_);
    }

private:
    template <size_t N>
    void put(const char (&s)[N]) { out_.put(s); }  // a literal
    void put(const char *s, size_t n) { out_.put(s, n); }
    void put(char c) { out_.put(c); }

    // New blocks start between pieces, so each block is whole UTF-8.
    void cut() {
        if (out_.size() >= block_size) {
            blocks_.push_back(std::move(out_));
            out_ = TextOut(block_size + 4096);
        }
    }

    void indent(int depth) { out_.fill((size_t) depth * 2, ' '); }

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
    void name(PyObject *s) {
        nb::object &known = known_names_[(reinterpret_cast<uintptr_t>(s) >> 4) % 64];
        if (known.ptr() == s) {
            put((const char *) PyUnicode_1BYTE_DATA(s), (size_t) PyUnicode_GET_LENGTH(s));
            return;
        }
        if (!PyUnicode_CheckExact(s) || !PyUnicode_IS_ASCII(s))
            throw GiveUp();
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        const char *p = (const char *) PyUnicode_1BYTE_DATA(s);
        auto letter = [](unsigned char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        };
        if (n == 0 || !letter((unsigned char) p[0]))
            throw GiveUp();
        if (n >= 3 && (p[0] | 0x20) == 'x' && (p[1] | 0x20) == 'm' && (p[2] | 0x20) == 'l')
            throw GiveUp();
        for (Py_ssize_t i = 1; i < n; ++i) {
            unsigned char c = (unsigned char) p[i];
            if (!(letter(c) || (c >= '0' && c <= '9') || c == '.' || c == '-'))
                throw GiveUp();
        }
        known = nb::borrow(s);
        put(p, (size_t) n);
    }

    // Character data as the round trip leaves it: the parser turns CR LF
    // and lone CR in text into LF (ElementTree writes them raw there, and
    // as character references in attribute values); minidom escapes the
    // rest, and characters XML 1.0 forbids would not parse.
    template <typename T>
    void chars(const T *p, Py_ssize_t n, bool attr) {
        put_xml_chars(out_, p, n, [&](TextOut &out, Py_UCS4 c, Py_UCS4 next) {
            switch (c) {
            case '"':
                if (attr || style_.quote_in_text)
                    out.put("&quot;");
                else
                    out.put('"');
                return;
            case '\t':
                if (attr && style_.attr_ws_refs)
                    out.put("&#9;");
                else
                    out.put('\t');
                return;
            case '\n':
                if (attr && style_.attr_ws_refs)
                    out.put("&#10;");
                else
                    out.put('\n');
                return;
            case '\r':
                if (attr)
                    style_.attr_ws_refs ? out.put("&#13;") : out.put('\r');
                else if (next != '\n')
                    out.put('\n');
                return;
            }
            throw GiveUp();  // not allowed in XML 1.0
        });
    }

    void text(PyObject *s, bool attr) {
        visit_chars(s, [&](auto units, Py_ssize_t n) { chars(units, n, attr); });
    }

    void element(PyObject *e, int depth) {
        RecursionScope level(depth_, " while writing XML", max_depth + 1);
        if (Py_TYPE(e) != element_type_)
            throw GiveUp();
        nb::object tag = tag_(e);
        indent(depth);
        put('<');
        name(tag.ptr());
        nb::object attrib = attrib_(e);
        if (!PyDict_Check(attrib.ptr()))
            throw GiveUp();
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(attrib.ptr(), &pos, &key, &value)) {
            put(' ');
            name(key);
            if (!PyUnicode_CheckExact(value))
                throw GiveUp();
            put("=\"");
            text(value, true);
            put('"');
        }
        nb::object content = text_(e);
        Text kind = text_kind(content.ptr());
        if (kind == Text::foreign)
            throw GiveUp();
        Py_ssize_t n = PySequence_Size(e);
        check(n >= 0);
        if (n == 0 && kind == Text::none) {
            put("/>\n");
            cut();
            return;
        }
        put('>');
        if (n == 0) {  // a lone text node stays on the line
            text(content.ptr(), false);
        } else {
            put('\n');
            if (kind == Text::some)
                text_line(content.ptr(), depth + 1);
            for (Py_ssize_t i = 0; i < n; ++i) {
                nb::object child = steal_checked(PySequence_GetItem(e, i));
                element(child.ptr(), depth + 1);
                nb::object tail = tail_(child);
                Text tail_kind = text_kind(tail.ptr());
                if (tail_kind == Text::foreign)
                    throw GiveUp();
                if (tail_kind == Text::some)
                    text_line(tail.ptr(), depth + 1);
            }
            indent(depth);
        }
        put("</");
        put((const char *) PyUnicode_1BYTE_DATA(tag.ptr()), (size_t) PyUnicode_GET_LENGTH(tag.ptr()));
        put(">\n");
        cut();
    }

    // A text node among elements: on a line of its own, indented.
    void text_line(PyObject *s, int depth) {
        indent(depth);
        text(s, false);
        put('\n');
        cut();
    }

    PyTypeObject *element_type_;
    MinidomStyle style_;
    ElementField tag_, attrib_, text_, tail_;
    TextOut out_{block_size + 4096};
    RecursionDepth depth_;
    std::vector<TextOut> blocks_;  // full ones
    // Names found valid, by identity: a document's tags and attribute names
    // are a few strings repeated 10^5 times. The references keep each
    // address from being reused by another string meanwhile.
    std::array<nb::object, 64> known_names_;
};


constexpr MinidomStyle styles[] = {{false, true}, {true, false}, {false, false}, {true, true}};

std::string joined(const std::vector<TextOut> &blocks) {
    std::string all;
    for (const TextOut &b : blocks)
        all += b.view();
    return all;
}

// The element tree written with one style, or false when the writer gave up.
bool write_with(const State &s, nb::handle root, MinidomStyle style,
                std::vector<TextOut> &blocks) {
    PyTypeObject *element_type = (PyTypeObject *) s.xml[s.element].ptr();
    return fast_path([&] {
        Pretty p(element_type, style);
        p.document(root);
        blocks = p.take_blocks();
    });
}

// Compares the generic path with each style on a tree holding every
// character whose writing differs between minidom versions: 0 when none
// matches, else 1 + the style's index.
int probe(const State &s) {
    nb::dict attrs;
    attrs["a"] = nb::str("\"\t\n\r&<>'\u00e9");
    nb::object root = call(s.xml[s.element], {nb::str("p"), attrs});
    set_attr(root, N.text, nb::str("\"t&<>\r\n\r'\t"));
    nb::object child = call_method(s.xml[s.et], N.SubElement, {root, nb::str("c")});
    set_attr(child, N.tail, nb::str("\"\r\n"));
    nb::object rough = call(s.xml[s.tostring], {root, nb::handle(N.utf8)}, N.kw_encoding);
    nb::object doc = call(s.xml[s.parse_string], rough);
    nb::object text = call_method(doc, N.toprettyxml, {nb::handle(N.two_blanks)}, N.kw_indent);
    Py_ssize_t size;
    const char *expected = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    check(expected != nullptr);
    for (int i = 0; i < 4; ++i) {
        std::vector<TextOut> blocks;
        if (write_with(s, root, styles[i], blocks) &&
            joined(blocks) == std::string_view(expected, (size_t) size))
            return i + 1;
    }
    return 0;
}

}  // namespace

bool render_pretty(State &s, nb::handle root, std::vector<TextOut> &blocks) {
    if (!s.xml.holds() || !PyType_Check(s.xml[s.element].ptr()))
        return false;
    if (s.minidom_style < 0 && !fast_path([&] { s.minidom_style = probe(s); }))
        return false;
    if (s.minidom_style == 0)
        return false;
    return write_with(s, root, styles[s.minidom_style - 1], blocks);
}

}  // namespace vexa::brevlet
