// The pretty XML writer (pretty_xml.cpp).
#pragma once

#include "../common/fallback.hpp"
#include "../common/text.hpp"
#include "state.hpp"

#include <vector>

namespace vexa::brevlet {

// The pretty text of the element tree `root` in blocks of UTF-8, written
// directly; false when the generic path must write it.
bool render_pretty(State &s, nb::handle root, std::vector<TextOut> &blocks);

}  // namespace vexa::brevlet
