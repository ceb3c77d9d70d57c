// The emitter: the parts of PyYAML's emitter that block style with default
// settings reaches, down to its column bookkeeping, writing the nodes of
// yaml_represent.cpp. dump_yaml() tries it first (see documents.cpp).
//
// PyYAML's pure-Python emitter is most of dump_yaml's time on large trees.
// This writes the same text straight from the objects, while YAMLDumper and
// everything it mirrors is as pinned at import (yaml_stock.cpp); otherwise,
// and for documents nested deeper than it goes, yaml.dump writes.
#include "../common/recursion.hpp"
#include "documents.hpp"
#include "yaml_represent.hpp"

#include <cstdio>
#include <string>

namespace vexa::runsheaf {

namespace yaml {

namespace {

enum Style : uint8_t { PLAIN, SINGLE, DOUBLE, LITERAL };
enum Context : uint8_t { ROOT = 1, IN_SEQUENCE = 2, IN_MAPPING = 4, SIMPLE_KEY = 8 };

class Writer {
public:
    explicit Writer(const YamlStock &stock) : representer_(stock) {}

    nb::object document(nb::handle root) {
        node(root, ROOT);
        write_indent();  // document end
        if (open_ended_) {
            indicator("...", true);
            write_indent();
        }
        // Only printable ASCII and line breaks get written (allow_unicode is off).
        return steal_checked(PyUnicode_DecodeASCII(out_.data(), (Py_ssize_t) out_.size(), nullptr));
    }

private:
    Representer representer_;
    TextOut out_;
    RecursionDepth depth_;
    int indent_ = -1;  // the emitter's None
    long column_ = 0;
    bool whitespace_ = true, indention_ = true, open_ended_ = false;

    // ---- the emitter's write_* primitives

    void write(std::string_view text) {
        out_.put(text);
        column_ += (long) text.size();
    }

    template <class C>
    void write(const C *s, Py_ssize_t n, bool count_columns = true) {
        out_.put_ascii(s, n);  // printable ASCII only
        if (count_columns)
            column_ += (long) n;
    }

    void indicator(std::string_view text, bool need_whitespace, bool whitespace = false,
                   bool indention = false) {
        if (!whitespace_ && need_whitespace) {
            out_.put(' ');
            ++column_;
        }
        write(text);
        whitespace_ = whitespace;
        indention_ = indention_ && indention;
        open_ended_ = false;
    }

    void line_break() {
        out_.put('\n');
        whitespace_ = indention_ = true;
        column_ = 0;
    }

    void write_indent() {
        long indent = indent_ < 0 ? 0 : indent_;
        if (!indention_ || column_ > indent || (column_ == indent && !whitespace_))
            line_break();
        if (column_ < indent) {
            whitespace_ = true;
            out_.fill((size_t) (indent - column_), ' ');
            column_ = indent;
        }
    }

    // ---- the emitter's states for block style

    void node(nb::handle obj, int context) {
        Rep r;
        representer_.represent(obj, r);
        if (r.kind == Rep::SCALAR)
            scalar(r, context, analysis(r));
        else
            collection(r);
    }

    static Analysis analysis(const Rep &r) {
        return with_chars(r, [&](auto s) { return analyze(s, r.len); });
    }

    // check_simple_key
    static bool simple_key(const Rep &r, const Analysis &a) {
        Py_ssize_t length = (Py_ssize_t) tag_text[r.tag].size();
        if (r.kind == Rep::SCALAR)
            return length + r.len < 128 && !a.empty && !a.multiline;
        return length < 128 && empty(r);
    }

    static bool empty(const Rep &r) {
        return r.kind == Rep::SEQ ? PySequence_Fast_GET_SIZE(r.keep.ptr()) == 0 : r.pairs.empty();
    }

    // Scalars do not nest, so collections are where depth is guarded.
    void collection(const Rep &r) {
        RecursionScope level(depth_, " while writing YAML", max_depth);
        if (r.tag == TAG_SET)
            indicator(tag_text[TAG_SET], true);
        bool sequence = r.kind == Rep::SEQ;
        if (empty(r)) {  // flow style, the only place the emitter uses it here
            indicator(sequence ? "[" : "{", true, true);
            indicator(sequence ? "]" : "}", false);
            return;
        }
        int saved = indent_;
        indent_ = indent_ < 0 ? 0 : indent_ + best_indent;  // never indentless
        if (sequence)
            block_sequence(r.keep);
        else
            block_mapping(r.pairs);
        indent_ = saved;
    }

    void block_sequence(nb::handle seq) {
        // a list is read as its iterator reads it, length checked each time
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i) {
            nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), i));
            write_indent();
            indicator("-", true, false, true);
            node(item, IN_SEQUENCE);
        }
    }

    void block_mapping(const Pairs &pairs) {
        for (const auto &[key, value] : pairs) {
            write_indent();
            if (mapping_key(key)) {
                indicator(":", false);
            } else {
                write_indent();
                indicator(":", true, false, true);
            }
            node(value, IN_MAPPING);
        }
    }

    // Writes a key: a simple key when it can be one (true), else after "?".
    bool mapping_key(nb::handle key) {
        Rep r;
        representer_.represent(key, r);
        Analysis a;
        if (r.kind == Rep::SCALAR)
            a = analysis(r);
        bool simple = simple_key(r, a);
        if (!simple)
            indicator("?", true, false, true);
        if (r.kind == Rep::SCALAR)
            scalar(r, simple ? IN_MAPPING | SIMPLE_KEY : IN_MAPPING, a);
        else
            collection(r);
        return simple;
    }

    // choose_scalar_style outside flow collections
    static Style choose_style(const Rep &r, const Analysis &a, bool implicit_plain, int context) {
        bool key = context & SIMPLE_KEY;
        if (!r.literal && implicit_plain && !(key && (a.empty || a.multiline)) && a.allow_plain)
            return PLAIN;
        if (r.literal && !key && a.allow_block)
            return LITERAL;
        if (!r.literal && a.allow_single && !(key && a.multiline))
            return SINGLE;
        return DOUBLE;
    }

    void scalar(const Rep &r, int context, const Analysis &a) {
        with_chars(r, [&](auto s) {
            // Plain text keeps its tag implicit when it reads back as that
            // tag; quoted and block text only when the tag is str.
            bool implicit_plain = resolve(s, r.len) == r.tag;
            Style style = choose_style(r, a, implicit_plain, context);
            if (!(style == PLAIN ? implicit_plain : r.tag == TAG_STR))
                indicator(tag_text[r.tag], true);
            int saved = indent_;
            indent_ = indent_ < 0 ? best_indent : indent_ + best_indent;
            bool split = !(context & SIMPLE_KEY);
            switch (style) {
            case PLAIN: plain(s, r.len, split, context & ROOT); break;
            case SINGLE: single_quoted(s, r.len, split); break;
            case DOUBLE: double_quoted(s, r.len, split); break;
            case LITERAL: literal(s, r.len); break;
            }
            indent_ = saved;
        });
    }

    // Plain text has no breaks and no leading or trailing spaces; a single
    // space past the width becomes a line break.
    template <class C>
    void plain(const C *s, Py_ssize_t n, bool split, bool root) {
        if (root)
            open_ended_ = true;
        if (n == 0)
            return;
        if (!whitespace_) {
            out_.put(' ');
            ++column_;
        }
        whitespace_ = indention_ = false;
        bool spaces = false;
        Py_ssize_t start = 0;
        for (Py_ssize_t end = 0; end <= n; ++end) {
            bool at_end = end == n;
            Py_UCS4 c = at_end ? 0 : s[end];
            if (spaces) {
                if (c != ' ') {
                    if (start + 1 == end && column_ > best_width && split) {
                        write_indent();
                        whitespace_ = indention_ = false;
                    } else {
                        write(s + start, end - start);
                    }
                    start = end;
                }
            } else if (at_end || c == ' ') {
                write(s + start, end - start);
                start = end;
            }
            spaces = c == ' ';
        }
    }

    template <class C>
    void single_quoted(const C *s, Py_ssize_t n, bool split) {
        indicator("'", true);
        bool spaces = false, breaks = false;
        Py_ssize_t start = 0;
        for (Py_ssize_t end = 0; end <= n; ++end) {
            bool at_end = end == n;
            Py_UCS4 c = at_end ? 0 : s[end];
            if (spaces) {
                if (at_end || c != ' ') {
                    if (start + 1 == end && column_ > best_width && split && start != 0 && end != n)
                        write_indent();
                    else
                        write(s + start, end - start);
                    start = end;
                }
            } else if (breaks) {
                if (at_end || !is_break(c)) {
                    // only "\n" gets here: the other breaks are escaped, in double quotes
                    if (s[start] == '\n')
                        line_break();
                    for (Py_ssize_t i = start; i < end; ++i)
                        line_break();
                    write_indent();
                    start = end;
                }
            } else if ((at_end || c == ' ' || is_break(c) || c == '\'') && start < end) {
                write(s + start, end - start);
                start = end;
            }
            if (c == '\'' && !at_end) {
                write("''");
                start = end + 1;
            }
            if (!at_end) {
                spaces = c == ' ';
                breaks = is_break(c);
            }
        }
        indicator("'", false);
    }

    void escape(Py_UCS4 c) {
        static const char letters[] = "0\0\0\0\0\0\0abtnvfr";
        char buf[12];
        int n;
        if (c <= 13 && (c == 0 || c >= 7))
            n = std::snprintf(buf, sizeof buf, "\\%c", letters[c]);
        else if (c == 27)
            n = std::snprintf(buf, sizeof buf, "\\e");
        else if (c == '"' || c == '\\')
            n = std::snprintf(buf, sizeof buf, "\\%c", (char) c);
        else if (c == 0x85)
            n = std::snprintf(buf, sizeof buf, "\\N");
        else if (c == 0xA0)
            n = std::snprintf(buf, sizeof buf, "\\_");
        else if (c == 0x2028)
            n = std::snprintf(buf, sizeof buf, "\\L");
        else if (c == 0x2029)
            n = std::snprintf(buf, sizeof buf, "\\P");
        else if (c <= 0xFF)
            n = std::snprintf(buf, sizeof buf, "\\x%02X", (unsigned) c);
        else if (c <= 0xFFFF)
            n = std::snprintf(buf, sizeof buf, "\\u%04X", (unsigned) c);
        else
            n = std::snprintf(buf, sizeof buf, "\\U%08X", (unsigned) c);
        write(std::string_view(buf, (size_t) n));
    }

    template <class C>
    void double_quoted(const C *s, Py_ssize_t n, bool split) {
        indicator("\"", true);
        Py_ssize_t start = 0;
        for (Py_ssize_t end = 0; end <= n; ++end) {
            bool at_end = end == n;
            Py_UCS4 c = at_end ? 0 : s[end];
            if (at_end || c == '"' || c == '\\' || c == 0xFEFF || !is_printable_ascii(c)) {
                if (start < end) {
                    write(s + start, end - start);
                    start = end;
                }
                if (!at_end) {
                    escape(c);
                    start = end + 1;
                }
            }
            // start may be one past end, after an escape
            if (0 < end && end < n - 1 && (c == ' ' || start >= end) &&
                column_ + (end - start) > best_width && split) {
                if (start < end) {
                    write(s + start, end - start);
                    start = end;
                }
                write("\\");
                write_indent();
                whitespace_ = indention_ = false;
                if (s[start] == ' ')
                    write("\\");
            }
        }
        indicator("\"", false);
    }

    template <class C>
    void literal(const C *s, Py_ssize_t n) {
        // determine_block_hints; the text is never empty here
        std::string hints = "|";
        if (s[0] == ' ' || is_break(s[0]))
            hints += char('0' + best_indent);
        if (!is_break(s[n - 1]))
            hints += '-';
        else if (n == 1 || is_break(s[n - 2]))
            hints += '+';
        indicator(hints, true);
        if (hints.back() == '+')
            open_ended_ = true;
        line_break();
        bool breaks = true;
        Py_ssize_t start = 0;
        for (Py_ssize_t end = 0; end <= n; ++end) {
            bool at_end = end == n;
            Py_UCS4 c = at_end ? 0 : s[end];
            if (breaks) {
                if (at_end || !is_break(c)) {
                    for (Py_ssize_t i = start; i < end; ++i)
                        line_break();
                    if (!at_end)
                        write_indent();
                    start = end;
                }
            } else if (at_end || is_break(c)) {
                write(s + start, end - start, false);  // the emitter does not count these columns
                if (at_end)
                    line_break();
                start = end;
            }
            if (!at_end)
                breaks = is_break(c);
        }
    }
};

}  // namespace

}  // namespace yaml

// What yaml.dump(document, Dumper=dumper, default_flow_style=False) returns
// when dump_fn is yaml.dump, or an invalid object when that call must write
// the document itself.
nb::object fast_yaml_text(nb::handle document, nb::handle dump_fn, nb::handle dumper) {
    const YamlStock *stock = state->yaml.get();
    if (!stock || dump_fn.ptr() != stock->pins[stock->dump].ptr() ||
        dumper.ptr() != stock->pins[stock->dumper].ptr() || !stock->pins.holds())
        return nb::object();
    nb::object text;
    if (!fast_path([&] { text = yaml::Writer(*stock).document(document); }))
        return nb::object();
    return text;
}

}  // namespace vexa::runsheaf
