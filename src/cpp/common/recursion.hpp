// Recursion over user data.
//
// Each level that a writer or walker descends into (a container, a nested
// node) is one RecursionScope. Deep data ends in the interpreter's
// RecursionError at its recursion limit, long before the C stack runs out:
// the limit is counted here as well, since Py_EnterRecursiveCall checks a C
// limit of its own from 3.12 on. A fast path gives its ceiling: deeper than
// that, or with less than a megabyte of C stack left, it gives up (GiveUp),
// and the generic path decides what deep data gives.
#pragma once

#include "fallback.hpp"

#include <climits>
#include <cstdint>

namespace vexa {

class RecursionScope {
public:
    static constexpr int no_ceiling = INT_MAX;

    // A level of a walk that must finish or raise RecursionError.
    explicit RecursionScope(const char *where) { enter(where); }

    // A level of a fast path.
    RecursionScope(const char *where, int ceiling) : fast_(true) {
        if (depth_ >= ceiling)
            throw GiveUp();
        char here;
        uintptr_t at = reinterpret_cast<uintptr_t>(&here);
        if (fast_depth_ == 0)
            stack_base_ = at;
        else if (stack_base_ > at && stack_base_ - at > stack_budget)
            throw GiveUp();
        enter(where);
        ++fast_depth_;
    }

    ~RecursionScope() {
        if (fast_)
            --fast_depth_;
        --depth_;
        Py_LeaveRecursiveCall();
    }

    RecursionScope(const RecursionScope &) = delete;
    RecursionScope &operator=(const RecursionScope &) = delete;

private:
    static constexpr uintptr_t stack_budget = 1 << 20;

    void enter(const char *where) {
        if (Py_EnterRecursiveCall(where))
            throw nb::python_error();
        if (++depth_ > Py_GetRecursionLimit()) {
            --depth_;
            Py_LeaveRecursiveCall();
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            throw nb::python_error();
        }
    }

    bool fast_ = false;
    static inline thread_local int depth_ = 0;
    static inline thread_local int fast_depth_ = 0;       // levels of fast paths
    static inline thread_local uintptr_t stack_base_ = 0;  // where the outermost began
};

}  // namespace vexa
