// Text output, and the characters of a str at their stored width.
//
// The writers produce bytes (ASCII for JSON and YAML, UTF-8 for XML) into a
// TextOut and make one str or file write of them at the end; visit_chars
// hands a str's characters to a generic lambda as Py_UCS1, Py_UCS2 or
// Py_UCS4, so each scanning loop is written once for all three widths.
#pragma once

#include "python.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

namespace vexa {

// Calls f(units, n) with units of the width `kind` names. `data` may be
// const or not; the units are as const as it is.
template <typename V, typename F>
decltype(auto) visit_units(int kind, V *data, Py_ssize_t n, F &&f) {
    constexpr bool is_const = std::is_const_v<V>;
    using U1 = std::conditional_t<is_const, const Py_UCS1, Py_UCS1>;
    using U2 = std::conditional_t<is_const, const Py_UCS2, Py_UCS2>;
    using U4 = std::conditional_t<is_const, const Py_UCS4, Py_UCS4>;
    switch (kind) {
    case PyUnicode_1BYTE_KIND: return f(static_cast<U1 *>(data), n);
    case PyUnicode_2BYTE_KIND: return f(static_cast<U2 *>(data), n);
    default: return f(static_cast<U4 *>(data), n);
    }
}

// Calls f(chars, n) with the characters of the str `s`.
template <typename F>
decltype(auto) visit_chars(PyObject *s, F &&f) {
#if PY_VERSION_HEX < 0x030C0000
    check(PyUnicode_READY(s) == 0);
#endif
    return visit_units(PyUnicode_KIND(s), static_cast<const void *>(PyUnicode_DATA(s)),
                       PyUnicode_GET_LENGTH(s), std::forward<F>(f));
}

// A growing buffer of bytes.
class TextOut {
public:
    TextOut() = default;
    explicit TextOut(size_t reserve) { grow(reserve); }
    ~TextOut() { std::free(buf_); }
    TextOut(TextOut &&other) noexcept
        : buf_(std::exchange(other.buf_, nullptr)), size_(std::exchange(other.size_, 0)),
          cap_(std::exchange(other.cap_, 0)) {}
    TextOut &operator=(TextOut &&other) noexcept {
        std::swap(buf_, other.buf_);
        std::swap(size_, other.size_);
        std::swap(cap_, other.cap_);
        return *this;
    }
    TextOut(const TextOut &) = delete;
    TextOut &operator=(const TextOut &) = delete;

    // Space for n more bytes at the end; advance() keeps what was written.
    char *room(size_t n) {
        if (cap_ - size_ < n)
            grow(n);
        return buf_ + size_;
    }
    void advance(size_t n) { size_ += n; }

    void put(char c) {
        *room(1) = c;
        ++size_;
    }
    void put(const char *s, size_t n) {
        if (n)
            std::memcpy(room(n), s, n);
        size_ += n;
    }
    void put(std::string_view s) { put(s.data(), s.size()); }
    template <size_t N>
    void put(const char (&s)[N]) { put(s, N - 1); }  // a literal

    void fill(size_t n, char c) {
        std::memset(room(n), c, n);
        size_ += n;
    }

    // Characters the caller knows to be ASCII, at any width.
    template <typename C>
    void put_ascii(const C *s, Py_ssize_t n) {
        if constexpr (sizeof(C) == 1) {
            put(reinterpret_cast<const char *>(s), (size_t) n);
        } else {
            char *d = room((size_t) n);
            for (Py_ssize_t i = 0; i < n; ++i)
                d[i] = static_cast<char>(s[i]);
            size_ += (size_t) n;
        }
    }

    void put_utf8(Py_UCS4 c) {
        char *b = room(4);
        if (c < 0x80) {
            b[0] = (char) c;
            size_ += 1;
        } else if (c < 0x800) {
            b[0] = (char) (0xc0 | (c >> 6));
            b[1] = (char) (0x80 | (c & 0x3f));
            size_ += 2;
        } else if (c < 0x10000) {
            b[0] = (char) (0xe0 | (c >> 12));
            b[1] = (char) (0x80 | ((c >> 6) & 0x3f));
            b[2] = (char) (0x80 | (c & 0x3f));
            size_ += 3;
        } else {
            b[0] = (char) (0xf0 | (c >> 18));
            b[1] = (char) (0x80 | ((c >> 12) & 0x3f));
            b[2] = (char) (0x80 | ((c >> 6) & 0x3f));
            b[3] = (char) (0x80 | (c & 0x3f));
            size_ += 4;
        }
    }

    const char *data() const { return buf_; }
    size_t size() const { return size_; }
    std::string_view view() const { return {buf_ ? buf_ : "", size_}; }
    // Drops what was written from `size` on.
    void truncate(size_t size) { size_ = size; }

    // The text as a str; it must be ASCII.
    nb::object ascii_str() const {
        PyObject *s = PyUnicode_New((Py_ssize_t) size_, 127);
        check(s != nullptr);
        if (size_)
            std::memcpy(PyUnicode_1BYTE_DATA(s), buf_, size_);
        return nb::steal(s);
    }

    nb::object utf8_str() const {
        return steal_checked(PyUnicode_DecodeUTF8(buf_, (Py_ssize_t) size_, nullptr));
    }

private:
    void grow(size_t n) {
        size_t cap = cap_ * 2;
        if (cap < size_ + n)
            cap = size_ + n;
        if (cap < 4096)
            cap = 4096;
        char *buf = static_cast<char *>(std::realloc(buf_, cap));
        if (!buf)
            throw std::bad_alloc();
        buf_ = buf;
        cap_ = cap;
    }

    char *buf_ = nullptr;
    size_t size_ = 0, cap_ = 0;
};

}  // namespace vexa
