// Plain scalars as PyYAML reads and writes them: which tag a plain text
// would be read back as (SafeDumper's implicit resolvers, as matchers of
// whole texts), and the emitter's analysis of a scalar with allow_unicode
// off, which decides the styles it may be written in.
#pragma once

#include "../common/python.hpp"

#include <cstdint>
#include <string_view>

namespace vexa::runsheaf::yaml {

// TAG_OTHER: merge, value and yaml, which resolvers give but no node carries.
enum Tag : uint8_t { TAG_STR, TAG_INT, TAG_FLOAT, TAG_BOOL, TAG_NULL, TAG_TIMESTAMP, TAG_BINARY,
                     TAG_SEQ, TAG_MAP, TAG_SET, TAG_OTHER };

// Tags as the emitter shortens them. A key's tag counts towards the
// 128-character limit of simple keys even when it is not written.
inline constexpr std::string_view tag_text[] = {"!!str", "!!int", "!!float", "!!bool",
                                         "!!null", "!!timestamp", "!!binary",
                                         "!!seq", "!!map", "!!set", ""};

inline constexpr long best_width = 80;
inline constexpr int best_indent = 2;
// Deeper documents are left to yaml.dump and its recursion limit.
inline constexpr int max_depth = 1000;

inline bool is_break(Py_UCS4 c) { return c == '\n' || c == 0x85 || c == 0x2028 || c == 0x2029; }
// The emitter's "\0 \t\r\n\x85\u2028\u2029"
inline bool is_blank_or_break(Py_UCS4 c) {
    return c == 0 || c == ' ' || c == '\t' || c == '\r' || is_break(c);
}
inline bool is_digit(Py_UCS4 c) { return c >= '0' && c <= '9'; }
inline bool is_printable_ascii(Py_UCS4 c) { return c >= 0x20 && c <= 0x7E; }

// ---- SafeDumper's implicit resolvers, as matchers of whole texts

template <class C>
bool equals(const C *s, Py_ssize_t n, std::string_view w) {
    if (n != (Py_ssize_t) w.size())
        return false;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (s[i] != (unsigned char) w[i])
            return false;
    return true;
}

template <class C>
Py_ssize_t skip_digits_underscores(const C *s, Py_ssize_t i, Py_ssize_t n) {
    while (i < n && (is_digit(s[i]) || s[i] == '_'))
        ++i;
    return i;
}

// (?:[eE][-+][0-9]+)? and the end of the text
template <class C>
bool exponent_to_end(const C *s, Py_ssize_t i, Py_ssize_t n) {
    if (i == n)
        return true;
    if ((s[i] != 'e' && s[i] != 'E') || i + 2 >= n || (s[i + 1] != '-' && s[i + 1] != '+'))
        return false;
    for (i += 2; i < n; ++i)
        if (!is_digit(s[i]))
            return false;
    return true;
}

// (?::[0-5]?[0-9])+, advancing i
template <class C>
bool sexagesimal(const C *s, Py_ssize_t &i, Py_ssize_t n) {
    int groups = 0;
    while (i < n && s[i] == ':') {
        Py_ssize_t j = i + 1;
        while (j < n && is_digit(s[j]))
            ++j;
        Py_ssize_t run = j - i - 1;
        if (!(run == 1 || (run == 2 && s[i + 1] <= '5')))
            return false;
        i = j;
        ++groups;
    }
    return groups > 0;
}

template <class C>
bool inf_or_nan(const C *s, Py_ssize_t n, bool nan) {
    return nan ? equals(s, n, "nan") || equals(s, n, "NaN") || equals(s, n, "NAN")
               : equals(s, n, "inf") || equals(s, n, "Inf") || equals(s, n, "INF");
}

template <class C>
bool is_float(const C *s, Py_ssize_t n) {
    if (s[0] == '.') {
        if (n >= 2 && is_digit(s[1]))
            return exponent_to_end(s, skip_digits_underscores(s, 2, n), n);
        return inf_or_nan(s + 1, n - 1, false) || inf_or_nan(s + 1, n - 1, true);
    }
    Py_ssize_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i < n && s[i] == '.')
        return inf_or_nan(s + i + 1, n - i - 1, false);
    if (i >= n || !is_digit(s[i]))
        return false;
    i = skip_digits_underscores(s, i + 1, n);
    if (i < n && s[i] == '.')
        return exponent_to_end(s, skip_digits_underscores(s, i + 1, n), n);
    if (!sexagesimal(s, i, n) || i >= n || s[i] != '.')
        return false;
    return skip_digits_underscores(s, i + 1, n) == n;
}

// One or more characters from i to the end, all accepted by ok.
template <class C>
bool rest_is(const C *s, Py_ssize_t i, Py_ssize_t n, bool (*ok)(Py_UCS4)) {
    if (i >= n)
        return false;
    for (; i < n; ++i)
        if (!ok(s[i]))
            return false;
    return true;
}

template <class C>
bool is_int(const C *s, Py_ssize_t n) {
    Py_ssize_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i >= n)
        return false;
    if (s[i] == '0') {
        if (i + 1 == n)
            return true;
        if (s[i + 1] == 'b')
            return rest_is(s, i + 2, n, [](Py_UCS4 c) { return c == '0' || c == '1' || c == '_'; });
        if (s[i + 1] == 'x')
            return rest_is(s, i + 2, n, [](Py_UCS4 c) {
                return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '_';
            });
        return rest_is(s, i + 1, n, [](Py_UCS4 c) { return (c >= '0' && c <= '7') || c == '_'; });
    }
    if (s[i] < '1' || s[i] > '9')
        return false;
    i = skip_digits_underscores(s, i + 1, n);
    if (i == n)
        return true;
    return sexagesimal(s, i, n) && i == n;
}

template <class C>
bool one_or_two_digits(const C *s, Py_ssize_t &i, Py_ssize_t n) {
    Py_ssize_t j = i;
    while (j < n && is_digit(s[j]))
        ++j;
    if (j - i < 1 || j - i > 2)
        return false;
    i = j;
    return true;
}

template <class C>
bool two_digits(const C *s, Py_ssize_t &i, Py_ssize_t n) {
    if (i + 1 >= n || !is_digit(s[i]) || !is_digit(s[i + 1]))
        return false;
    i += 2;
    return true;
}

template <class C>
bool is_timestamp(const C *s, Py_ssize_t n) {
    if (n < 8 || !is_digit(s[1]) || !is_digit(s[2]) || !is_digit(s[3]) || s[4] != '-')
        return false;
    if (n == 10 && is_digit(s[5]) && is_digit(s[6]) && s[7] == '-' && is_digit(s[8]) &&
        is_digit(s[9]))
        return true;
    Py_ssize_t i = 5;
    if (!one_or_two_digits(s, i, n) || i >= n || s[i] != '-')
        return false;
    ++i;
    if (!one_or_two_digits(s, i, n) || i >= n)
        return false;
    if (s[i] == 'T' || s[i] == 't') {
        ++i;
    } else if (s[i] == ' ' || s[i] == '\t') {
        while (i < n && (s[i] == ' ' || s[i] == '\t'))
            ++i;
    } else {
        return false;
    }
    if (!one_or_two_digits(s, i, n) || i >= n || s[i] != ':')
        return false;
    ++i;
    if (!two_digits(s, i, n) || i >= n || s[i] != ':')
        return false;
    ++i;
    if (!two_digits(s, i, n))
        return false;
    if (i < n && s[i] == '.') {
        ++i;
        while (i < n && is_digit(s[i]))
            ++i;
    }
    if (i == n)
        return true;
    while (i < n && (s[i] == ' ' || s[i] == '\t'))
        ++i;
    if (i < n && s[i] == 'Z')
        return i + 1 == n;
    if (i >= n || (s[i] != '-' && s[i] != '+'))
        return false;
    ++i;
    if (!one_or_two_digits(s, i, n))
        return false;
    if (i == n)
        return true;
    if (s[i] != ':')
        return false;
    ++i;
    return two_digits(s, i, n) && i == n;
}

// The tag a plain scalar with this text would be read back as; TAG_STR when no
// resolver takes it.
template <class C>
Tag resolve(const C *s, Py_ssize_t n) {
    if (n == 0)
        return TAG_NULL;
    switch (s[0]) {
    case 'y': case 'Y': case 'n': case 'N': case 't': case 'T':
    case 'f': case 'F': case 'o': case 'O':
        for (std::string_view w : {"yes", "Yes", "YES", "no", "No", "NO", "true", "True",
                                   "TRUE", "false", "False", "FALSE", "on", "On", "ON",
                                   "off", "Off", "OFF"})
            if (equals(s, n, w))
                return TAG_BOOL;
        if (equals(s, n, "null") || equals(s, n, "Null") || equals(s, n, "NULL"))
            return TAG_NULL;
        return TAG_STR;
    case '~':
        return n == 1 ? TAG_NULL : TAG_STR;
    case '.':
        return is_float(s, n) ? TAG_FLOAT : TAG_STR;
    case '-': case '+':
        return is_float(s, n) ? TAG_FLOAT : is_int(s, n) ? TAG_INT : TAG_STR;
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
        return is_float(s, n) ? TAG_FLOAT
               : is_int(s, n) ? TAG_INT
               : is_timestamp(s, n) ? TAG_TIMESTAMP : TAG_STR;
    case '<':
        return equals(s, n, "<<") ? TAG_OTHER : TAG_STR;  // merge
    case '=': case '!': case '&': case '*':
        return n == 1 ? TAG_OTHER : TAG_STR;  // value, and the "yaml" tag
    default:
        return TAG_STR;
    }
}

// ---- the emitter's analyze_scalar, with allow_unicode off

struct Analysis {
    bool empty = false;
    bool multiline = false;
    bool allow_plain = false;  // block plain: scalars never sit in a flow collection here
    bool allow_single = false;
    bool allow_block = false;
};

template <class C>
Analysis analyze(const C *s, Py_ssize_t n) {
    Analysis a;
    if (n == 0) {
        a.empty = a.allow_plain = a.allow_single = true;
        return a;
    }
    bool indicators = false, line_breaks = false, special = false;
    bool leading_space = false, leading_break = false;
    bool trailing_space = false, trailing_break = false;
    bool break_space = false, space_break = false;
    if (n >= 3 && ((s[0] == '-' && s[1] == '-' && s[2] == '-') ||
                   (s[0] == '.' && s[1] == '.' && s[2] == '.')))
        indicators = true;
    bool preceded_by_blank = true;
    bool followed_by_blank = n == 1 || is_blank_or_break(s[1]);
    bool previous_space = false, previous_break = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = s[i];
        if (i == 0) {
            switch (c) {
            case '#': case ',': case '[': case ']': case '{': case '}': case '&': case '*':
            case '!': case '|': case '>': case '\'': case '"': case '%': case '@': case '`':
                indicators = true;
            }
            if ((c == '?' || c == ':' || c == '-') && followed_by_blank)
                indicators = true;
        } else {
            if (c == ':' && followed_by_blank)
                indicators = true;
            if (c == '#' && preceded_by_blank)
                indicators = true;
        }
        if (is_break(c))
            line_breaks = true;
        if (c != '\n' && !is_printable_ascii(c))
            special = true;  // everything else is escaped, so double-quoted
        if (c == ' ') {
            leading_space |= i == 0;
            trailing_space |= i == n - 1;
            break_space |= previous_break;
            previous_space = true;
            previous_break = false;
        } else if (is_break(c)) {
            leading_break |= i == 0;
            trailing_break |= i == n - 1;
            space_break |= previous_space;
            previous_space = false;
            previous_break = true;
        } else {
            previous_space = previous_break = false;
        }
        preceded_by_blank = is_blank_or_break(c);
        followed_by_blank = i + 2 >= n || is_blank_or_break(s[i + 2]);
    }
    a.multiline = line_breaks;
    a.allow_plain = a.allow_single = a.allow_block = true;
    if (leading_space || leading_break || trailing_space || trailing_break)
        a.allow_plain = false;
    if (trailing_space)
        a.allow_block = false;
    if (break_space)
        a.allow_plain = a.allow_single = false;
    if (space_break || special)
        a.allow_plain = a.allow_single = a.allow_block = false;
    if (line_breaks || indicators)
        a.allow_plain = false;
    return a;
}


}  // namespace vexa::runsheaf::yaml
