// Numbers, dates and times as Python writes them, without a Python call.
//
// Each function writes at `p` and returns the end; callers give room for
// the longest text (64 bytes covers a datetime with offset, 32 a float).
#pragma once

#include "python.hpp"

#include <datetime.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

// datetime.h gives each translation unit its own pointer to the datetime C
// API. A file that uses it (the type checks, PyDelta_FromDSU) runs this
// first; once loaded it is a pointer test.
#define VEXA_IMPORT_DATETIME()                                                 \
    do {                                                                       \
        if (!PyDateTimeAPI) {                                                  \
            PyDateTime_IMPORT;                                                 \
            ::vexa::check(PyDateTimeAPI != nullptr);                           \
        }                                                                      \
    } while (0)

namespace vexa {

// Zero-padded decimal digits.
inline char *put_digits(char *p, long value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10)
        p[i] = (char) ('0' + value % 10);
    return p + width;
}

// int.__repr__ of a value that fits: 24 bytes.
inline char *format_int(char *p, long long value) {
    return std::to_chars(p, p + 24, value).ptr;
}

// "YYYY-MM-DD" of a date or datetime.
inline char *format_date(char *p, PyObject *date) {
    p = put_digits(p, PyDateTime_GET_YEAR(date), 4);
    *p++ = '-';
    p = put_digits(p, PyDateTime_GET_MONTH(date), 2);
    *p++ = '-';
    return put_digits(p, PyDateTime_GET_DAY(date), 2);
}

// str() of a datetime without its zone: "YYYY-MM-DD HH:MM:SS[.ffffff]".
inline char *format_datetime(char *p, PyObject *dt) {
    p = format_date(p, dt);
    *p++ = ' ';
    p = put_digits(p, PyDateTime_DATE_GET_HOUR(dt), 2);
    *p++ = ':';
    p = put_digits(p, PyDateTime_DATE_GET_MINUTE(dt), 2);
    *p++ = ':';
    p = put_digits(p, PyDateTime_DATE_GET_SECOND(dt), 2);
    if (int us = PyDateTime_DATE_GET_MICROSECOND(dt)) {
        *p++ = '.';
        p = put_digits(p, us, 6);
    }
    return p;
}

// A UTC offset, a timedelta, as str() of a datetime ends: "+HH:MM[:SS[.ffffff]]".
// Null when it is a day or more either way, where str() raises.
inline char *format_utc_offset(char *p, PyObject *offset) {
    constexpr long long day = 86400LL * 1000000;
    long long us = (PyDateTime_DELTA_GET_DAYS(offset) * 86400LL +
                    PyDateTime_DELTA_GET_SECONDS(offset)) * 1000000 +
                   PyDateTime_DELTA_GET_MICROSECONDS(offset);
    if (us <= -day || us >= day)
        return nullptr;
    *p++ = us < 0 ? '-' : '+';
    us = us < 0 ? -us : us;
    long micro = (long) (us % 1000000), secs = (long) (us / 1000000);
    p = put_digits(p, secs / 3600, 2);
    *p++ = ':';
    p = put_digits(p, secs / 60 % 60, 2);
    if (micro || secs % 60) {
        *p++ = ':';
        p = put_digits(p, secs % 60, 2);
        if (micro) {
            *p++ = '.';
            p = put_digits(p, micro, 6);
        }
    }
    return p;
}

#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
#define VEXA_FLOAT_TO_CHARS 1
#endif

// repr() of a finite float. From the shortest round-trip digits, which
// to_chars finds several times faster than the interpreter: fixed notation
// for decimal exponents -4 to 15, else d.ddde+XX; ".0" on integral values.
inline char *format_float(char *d, double v) {
#ifdef VEXA_FLOAT_TO_CHARS
    char sci[32];
    char *end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
    const char *p = sci;
    if (*p == '-')
        *d++ = *p++;
    char digits[20];
    int n = 0;
    digits[n++] = *p++;
    if (*p == '.')
        for (++p; *p != 'e'; ++p)
            digits[n++] = *p;
    ++p;  // 'e'
    bool negative_exp = *p++ == '-';
    int exp = 0;
    for (; p < end; ++p)
        exp = exp * 10 + (*p - '0');
    int point = (negative_exp ? -exp : exp) + 1;  // digits before the point
    if (point <= -4 || point > 16) {
        *d++ = digits[0];
        if (n > 1) {
            *d++ = '.';
            std::memcpy(d, digits + 1, (size_t) (n - 1));
            d += n - 1;
        }
        *d++ = 'e';
        *d++ = negative_exp ? '-' : '+';
        if (exp < 10)
            *d++ = '0';
        return std::to_chars(d, d + 4, exp).ptr;
    }
    if (point <= 0) {
        *d++ = '0';
        *d++ = '.';
        std::memset(d, '0', (size_t) -point);
        d += -point;
        std::memcpy(d, digits, (size_t) n);
        return d + n;
    }
    if (point >= n) {
        std::memcpy(d, digits, (size_t) n);
        d += n;
        std::memset(d, '0', (size_t) (point - n));
        d += point - n;
        *d++ = '.';
        *d++ = '0';
        return d;
    }
    std::memcpy(d, digits, (size_t) point);
    d += point;
    *d++ = '.';
    std::memcpy(d, digits + point, (size_t) (n - point));
    return d + n - point;
#else
    std::unique_ptr<char, void (*)(void *)> text(
        PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr), PyMem_Free);
    check(text != nullptr);
    size_t n = std::strlen(text.get());
    std::memcpy(d, text.get(), n);
    return d + n;
#endif
}

// round(x, 2) of a finite float: the double nearest to the correctly
// rounded two-decimal text (ties to even), which parsing that text gives.
inline double round_cents(double x) {
#ifdef VEXA_FLOAT_TO_CHARS
    char fixed[400];  // DBL_MAX has 309 digits
    char *end = std::to_chars(fixed, fixed + sizeof fixed, x, std::chars_format::fixed, 2).ptr;
    double rounded = 0;
    std::from_chars(fixed, end, rounded);
    return rounded;
#else
    std::unique_ptr<char, void (*)(void *)> text(
        PyOS_double_to_string(x, 'f', 2, 0, nullptr), PyMem_Free);
    check(text != nullptr);
    double rounded = PyOS_string_to_double(text.get(), nullptr, nullptr);
    check(!(rounded == -1.0 && PyErr_Occurred()));
    return rounded;
#endif
}

}  // namespace vexa
