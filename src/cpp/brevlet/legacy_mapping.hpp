// The Brevlet methods that copy a report onto the legacy objects
// (legacy_mapping.cpp), each given the state of the module that made it.
#pragma once

#include "state.hpp"

namespace vexa::brevlet {

nb::object init(State &s, nb::handle self, nb::handle logsdir, nb::handle runsheaf);
nb::object handle_runsheaf(State &s, nb::handle self, nb::handle zelts, nb::handle runsheaf);
nb::object handle_jobexecution(State &s, nb::handle self, nb::handle zeljobexc,
                               nb::handle runsheaf);
nb::object handle_testscript(State &s, nb::handle self, nb::handle zelts, nb::handle task);
nb::object handle_commonsection(State &s, nb::handle self, nb::handle legacy, nb::handle report);
nb::object handle_testcase(State &s, nb::handle self, nb::handle legacy, nb::handle report);
nb::object handle_subsection(State &s, nb::handle self, nb::handle legacy, nb::handle report);
nb::object handle_testsection(State &s, nb::handle self, nb::handle legacy, nb::handle report);
nb::object handle_step(State &s, nb::handle self, nb::handle legacy, nb::handle report);

}  // namespace vexa::brevlet
