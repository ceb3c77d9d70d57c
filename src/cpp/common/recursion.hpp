// Recursion over user data.
//
// Each level that a writer or walker descends into (a container, a nested
// node) is one RecursionScope. Deep data ends in the interpreter's
// RecursionError at its recursion limit, long before the C stack runs out:
// the limit is counted here as well, since Py_EnterRecursiveCall checks a C
// limit of its own from 3.12 on. A fast path counts its levels in a depth of
// its own and gives its ceiling: deeper than that or than the recursion
// limit (or, without a ceiling, with a megabyte of C stack used), it gives
// up (GiveUp), and the generic path decides what deep data gives.
#pragma once

#include "fallback.hpp"

#include <climits>
#include <cstdint>

namespace vexa {

// How deep a walk or a fast path is.
struct RecursionDepth {
    int levels = 0;
    int limit = 0;             // a fast path's: the recursion limit when it began
    uintptr_t stack_base = 0;  // a fast path's: where its outermost level began
};

class RecursionScope {
public:
    static constexpr int no_ceiling = INT_MAX;

    // A level of a walk that must finish or raise RecursionError. The walks
    // of one thread share one count.
    explicit RecursionScope(const char *where) : depth_(walks()) {
        if (Py_EnterRecursiveCall(where))
            throw nb::python_error();
        if (++depth_.levels > Py_GetRecursionLimit()) {
            --depth_.levels;
            Py_LeaveRecursiveCall();
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            throw nb::python_error();
        }
    }

    // A level of a fast path, counted in its own depth.
    RecursionScope(RecursionDepth &depth, const char *where, int ceiling) : depth_(depth) {
        char here;
        uintptr_t at = reinterpret_cast<uintptr_t>(&here);
        if (depth.levels == 0) {
            depth.stack_base = at;
            depth.limit = Py_GetRecursionLimit();
        }
        // Without a ceiling of its own, the C stack left is the bound.
        if (depth.levels >= ceiling || depth.levels >= depth.limit ||
            (ceiling == no_ceiling && depth.stack_base > at &&
             depth.stack_base - at > stack_budget))
            throw GiveUp();
        if (Py_EnterRecursiveCall(where))
            throw nb::python_error();
        ++depth.levels;
    }

    ~RecursionScope() {
        --depth_.levels;
        Py_LeaveRecursiveCall();
    }

    RecursionScope(const RecursionScope &) = delete;
    RecursionScope &operator=(const RecursionScope &) = delete;

private:
    static constexpr uintptr_t stack_budget = 1 << 20;

    static RecursionDepth &walks() {
        static thread_local RecursionDepth depth;
        return depth;
    }

    RecursionDepth &depth_;
};

}  // namespace vexa
