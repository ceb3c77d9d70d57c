// Brevlet.generate_xml() (files.cpp).
#pragma once

#include "state.hpp"

namespace vexa::brevlet {

nb::object generate_xml(State &s, nb::handle self);

}  // namespace vexa::brevlet
