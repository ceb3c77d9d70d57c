// Free text made safe for the legacy files (escaping.cpp).
#pragma once

#include "state.hpp"

namespace vexa::brevlet {

// The module's escape(), escape_data() and _escape_repl().
nb::object escape(const State &s, nb::handle string);
nb::object escape_data(const State &s, nb::handle data);
nb::object escape_repl(const State &s, nb::handle match);

// Text for an element or attribute of the summary: None stays None, other
// values their str(), and what XML 1.0 cannot carry becomes visible.
nb::object xml_text(nb::handle value);

}  // namespace vexa::brevlet
