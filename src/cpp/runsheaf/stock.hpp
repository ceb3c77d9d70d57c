// The module's classes and its YAML registrations, in one table.
//
// Each row names a node class with its _ARG_ORDER list, or a type with the
// representer YAMLDumper holds for it. The module builds the _ARG_ORDER
// lists and registers its representers from these rows; the fast YAML writer
// checks YAMLDumper's table against the same rows at import and learns from
// them which classes it writes itself. A row added here is registered and
// known to the writer at once, so the two cannot drift apart.
#pragma once

#include "state.hpp"

#include <initializer_list>

namespace vexa::runsheaf {

struct NodeClassRow {
    const char *name;
    std::initializer_list<const char *> arg_order;
};

// Where a representer's type is found.
enum class TypeHome : uint8_t {
    NoneType,  // type(None)
    Builtin,   // builtins.<type>
    Datetime,  // datetime.<type>
    Module,    // this module's global <type>
    Fallback,  // None: PyYAML's representer for types without one
};

// Who provides the representer.
enum class Provider : uint8_t {
    SafeDumper,  // PyYAML's SafeRepresenter.<function>, there before this module
    Module,      // this module's function <function>, registered at import
    ToYaml,      // the class's own to_yaml, registered at import
};

using RepresenterFn = nb::object (*)(nb::handle dumper, nb::handle data);

struct RepresenterRow {
    TypeHome home;
    const char *type;
    Provider provider;
    const char *function;
    RepresenterFn fn;  // for Provider::Module
};

// The node classes: the base first, then the rest in the order they are built.
extern const NodeClassRow node_class_rows[5];
// YAMLDumper's representers: SafeDumper's, then this module's in the order
// they are registered.
extern const RepresenterRow representer_rows[21];

// _ARG_ORDER of the node class `name`, as interned names.
nb::list arg_order(const char *name);
// Defines the module's representer functions.
void define_representers(nb::module_ &m);
// Registers the module's representers on YAMLDumper, after the classes exist.
void register_representers(nb::handle module, nb::handle dumper);
// YAMLDumper's whole table as the rows give it: type -> representer.
nb::dict expected_representers(nb::handle module);
// The type of a row.
nb::object row_type(const RepresenterRow &row, nb::handle module);

}  // namespace vexa::runsheaf
