// XML text output: what XML 1.0 cannot carry, the visible form the package
// writes it in, and character data with markup escaped.
//
// The writers differ only in a few characters (a quote, tab, line break or
// carriage return, and what they do with a forbidden one); put_xml_chars
// writes everything else and hands those to the writer's own rule.
#pragma once

#include "text.hpp"

namespace vexa {

// C0 controls but tab, line feed and carriage return; lone surrogates;
// U+FFFE and U+FFFF.
inline bool xml_forbidden(Py_UCS4 c) {
    if (c < 0x20)
        return c != 0x09 && c != 0x0a && c != 0x0d;
    return (c >= 0xd800 && c <= 0xdfff) || c == 0xfffe || c == 0xffff;
}

// A character written visibly: \xNN below U+0100, else \uNNNN, lower-case
// hex, the forms of the "\x{:>02x}" format and of the "backslashreplace"
// error handler. `out` is a buffer of units of any width; returns its new end.
template <typename Out>
inline Out *put_visible(Out *out, Py_UCS4 c) {
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

inline void put_visible(TextOut &out, Py_UCS4 c) {
    char *b = out.room(6);
    out.advance((size_t) (put_visible(b, c) - b));
}

// Printable ASCII that needs no markup anywhere: most of a report.
inline bool xml_plain(Py_UCS4 c) {
    return c >= 0x20 && c < 0x7f && c != '&' && c != '<' && c != '>' && c != '"';
}

// Writes p[0, n) as UTF-8 character data: '&', '<' and '>' as entities, the
// other characters XML 1.0 allows as they are, but '"', tab, line feed,
// carriage return and the forbidden characters, each of which goes to
// rule(out, c, next), where next is the following character or 0.
template <typename T, typename Rule>
inline void put_xml_chars(TextOut &out, const T *p, Py_ssize_t n, Rule &&rule) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Runs of plain characters in one append.
        Py_ssize_t run = i;
        while (run < n && xml_plain(p[run]))
            ++run;
        if (run > i) {
            out.put_ascii(p + i, run - i);
            i = run;
            if (i == n)
                break;
        }
        Py_UCS4 c = p[i];
        switch (c) {
        case '&': out.put("&amp;"); continue;
        case '<': out.put("&lt;"); continue;
        case '>': out.put("&gt;"); continue;
        }
        if (c >= 0x80 && !xml_forbidden(c))
            out.put_utf8(c);
        else if (c == 0x7f)
            out.put('\x7f');
        else
            rule(out, c, i + 1 < n ? (Py_UCS4) p[i + 1] : 0);
    }
}

}  // namespace vexa
