// What every module keeps between calls: made at import, released in one
// place at interpreter exit.
#pragma once

#include "classes.hpp"
#include "names.hpp"

#include <utility>

namespace vexa {

// The base of each module's state: the namespace its methods read. A module
// adds what its fast paths hold and lets that go in its own release().
struct ModuleState {
    explicit ModuleState(nb::handle module) { scope.bind(module); }
    ModuleState(const ModuleState &) = delete;
    ModuleState &operator=(const ModuleState &) = delete;

    // At interpreter exit: every object let go, every fast path off. It
    // must not raise.
    void release() {}

    ModuleScope scope;
};

// A module's state, made at import once the package's names are: released
// at exit with the module's functions (see Teardown) and never freed, as
// methods may still run after that.
template <typename State>
State &make_state(nb::handle module) {
    N.intern();
    auto *state = new State(module);
    Teardown::on_exit(module, state);
    return *state;
}

// The same for a module whose state is reached through one process-wide
// pointer: a module imported afresh takes it over, and the old state is let
// go, its fast paths off.
template <typename State>
State &replace_state(nb::handle module, State *&current) {
    State &made = make_state<State>(module);
    if (State *previous = std::exchange(current, &made))
        previous->release();
    return made;
}

}  // namespace vexa
