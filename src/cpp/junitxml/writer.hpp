// The JUnit XML writer: the fast path of vexa.reporter.junit.
//
// It writes, byte for byte, what the Python mapping in junit.py writes for
// a results document (plain dicts and lists, as json.load gives them) or
// for a live run, whose text is that of its dump_json() document. It gives
// up (GiveUp, see common/fallback.hpp) wherever it could differ: a value of
// a type it does not write itself, a document that is wrong where the
// Python mapping names the place, a live tree whose classes or JSON rules
// are no longer those found at import.
#pragma once

#include "../common/module_state.hpp"
#include "../common/unchanged.hpp"

namespace vexa::junitxml {

// The fields the writer reads, bit numbers of State::fields.
enum Field {
    F_ID, F_RUNTIME, F_STARTTIME, F_TOTALTASKS, F_TASKS, F_HOST, F_SUBMITTER, F_EXTRA,
    F_TESTSCRIPT, F_SECTIONS, F_PLUGINSUMMARY, F_HEALTH_SUMMARY, F_RESULT, F_XREF,
    F_LOGS, F_DETAILS, F_TYPE, FIELDS
};

inline PyObject *field_name(Field f) {
    static PyObject *Names::*const members[FIELDS] = {
        &Names::id, &Names::runtime, &Names::starttime, &Names::totaltasks, &Names::tasks,
        &Names::host, &Names::submitter, &Names::extra, &Names::testscript, &Names::sections,
        &Names::pluginsummary, &Names::health_summary, &Names::result, &Names::xref,
        &Names::logs, &Names::details, &Names::type};
    return N.*members[f];
}

// The node classes of a live tree, in the order of Live::kinds.
enum Kind { RUN, TASK, SECTION, PLUGIN, KINDS };

// What the module keeps: the runsheaf objects the live path mirrors.
struct State : ModuleState {
    explicit State(nb::handle module);

    Pins pins{scope};
    Pins::Id classes[KINDS];
    Pins::Id test_result, result_counter, value_ignore;
    nb::object arg_orders[KINDS];   // each class's _ARG_ORDER at import, as a tuple
    nb::object value_ignore_items;  // VALUE_IGNORE at import, as a tuple
    unsigned fields[KINDS] = {};    // bit per name of Names in each _ARG_ORDER

    // True while a live tree reads as its dump_json() document would.
    bool live_holds() const;
    void release();
};
// One for the process, not one per import of the module: it mirrors the
// runsheaf module imported at the time, and the writers' static accessors
// (Live) read it. A module imported afresh takes it over (replace_state).
inline State *state = nullptr;

// The text for `report`, or a null object when the fast path gave up.
nb::object write(nb::handle report, nb::handle log_slice, nb::handle timestamp);

}  // namespace vexa::junitxml
