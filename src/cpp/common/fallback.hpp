// Fast paths, and what happens when one gives up.
//
// dump_json, dump_yaml, escape, the XML files and JUnit XML each have a fast
// path that writes the generic path's result directly. All of them follow
// one policy:
//
//   A fast path runs only while everything it mirrors is as it was at import
//   (Pins). When it gives up, the generic path runs, and its output or error
//   is what the caller sees. It gives up by throwing GiveUp (it met
//   something it cannot write exactly), by running out of memory, or when a
//   Python call inside it raises an Exception. Only errors that are not
//   about the data (KeyboardInterrupt, SystemExit) reach the caller at once.
#pragma once

#include "python.hpp"

#include <new>

namespace vexa {

// Thrown by a fast path that cannot promise the generic path's result.
struct GiveUp {};

// Runs the fast path; false when it gave up, so the generic path must run.
template <typename Fast>
bool fast_path(Fast &&fast) {
    try {
        fast();
        return true;
    } catch (const GiveUp &) {
    } catch (const std::bad_alloc &) {
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
    }
    return false;
}

}  // namespace vexa
