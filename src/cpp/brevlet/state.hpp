// What the brevlet module keeps between calls: its state, made at import
// and released in one place at interpreter exit. Each import of the module
// has its own, which the module's functions hold and hand down.
#pragma once

#include "../common/module_state.hpp"
#include "../common/unchanged.hpp"

namespace vexa::brevlet {

struct State : ModuleState {
    explicit State(nb::handle module)
        : ModuleState(module), escape_pins(scope), own(scope), xml(scope), builtin_open(scope) {}

    // escape(): its one C++ pass while ESCAPE_SEQUENCE and _escape_repl are
    // the module's own.
    Pins escape_pins;
    // The module's own escape() and escape_data(), as bound at import.
    Pins own;
    Pins::Id escape = -1, escape_data = -1;
    // ElementTree and minidom as the module imported them: the direct XML
    // writer stands in for them only while they hold.
    Pins xml;
    Pins::Id et = -1, tostring = -1, element = -1, minidom = -1, parse_string = -1;
    // How the running minidom writes character data: -1 not yet probed,
    // 0 unknown (the direct writer stays off), else 1 + its index.
    int minidom_style = -1;
    // The built-in open(), whose text files take UTF-8 blocks directly.
    Pins builtin_open;
    Pins::Id io_open = -1;
    nb::object text_io;  // io.TextIOWrapper

    // At interpreter exit: every object let go, every fast path off.
    void release() {
        escape_pins.release();
        own.release();
        xml.release();
        builtin_open.release();
        text_io.reset();
    }
};

}  // namespace vexa::brevlet
