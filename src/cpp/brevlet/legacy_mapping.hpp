// The Brevlet methods that copy a report onto the legacy objects
// (legacy_mapping.cpp).
#pragma once

#include "state.hpp"

namespace vexa::brevlet {

nb::object init(nb::handle self, nb::handle logsdir, nb::handle runsheaf);
nb::object handle_runsheaf(nb::handle self, nb::handle zelts, nb::handle runsheaf);
nb::object handle_jobexecution(nb::handle self, nb::handle zeljobexc, nb::handle runsheaf);
nb::object handle_testscript(nb::handle self, nb::handle zelts, nb::handle task);
nb::object handle_commonsection(nb::handle self, nb::handle legacy, nb::handle report);
nb::object handle_testcase(nb::handle self, nb::handle legacy, nb::handle report);
nb::object handle_subsection(nb::handle self, nb::handle legacy, nb::handle report);
nb::object handle_testsection(nb::handle self, nb::handle legacy, nb::handle report);
nb::object handle_step(nb::handle self, nb::handle legacy, nb::handle report);

}  // namespace vexa::brevlet
