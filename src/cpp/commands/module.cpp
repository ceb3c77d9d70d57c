// vexa.reporter.commands: the `results` subcommand of the `vexa` tool.
//
//   ValidateResultsFile(Subcommand)
//       __init__(*args, **kwargs)   the base's parser plus one argument, [file]
//       run(args)                   read, parse and validate args.file; print
//                                   the findings and return ERROR, or print
//                                   "<file> accepted" and return None
//
// The checks themselves are the package's schema module's; this module only
// drives them. Nothing here catches: errors reach the command-line tool.
#include "../common/calls.hpp"
#include "../common/module_state.hpp"

using namespace vexa;

namespace {

// The module's state: the namespace its methods read and the class that
// super() starts from, both weak, so nothing here must be let go at exit.
// Each import of the module has its own, held by the methods that read it.
struct State : ModuleState {
    using ModuleState::ModuleState;
    DefiningClass validate_results_file;
};

using StatePtr = State *;

// Read, parse and validate inside the file's managed block, which is left
// (and the file closed) on every path before the findings are judged.
nb::object read_and_validate(const State &state, nb::handle path) {
    const ModuleScope &scope = state.scope;
    nb::object manager = scope.global_or_builtin(N.open)(path, "r");
    nb::object findings;
    bool completed = with_context(manager, [&](nb::handle f) {
        nb::object content = call_method(f, N.read);
        nb::object document = get_attr(scope[N.json], N.loads)(content);
        findings = scope[N.validate](document);
    });
    if (!completed) {
        // A manager that swallows the error leaves the result unbound.
        PyErr_SetString(PyExc_UnboundLocalError,
                        "cannot access local variable 'file_exceptions' where it is "
                        "not associated with a value");
        throw nb::python_error();
    }
    return findings;
}

const char *const class_doc = "\n    Validates that a results file is loadable\n    ";

const char *const description =
    "\nValidates the provided results json file for syntax and content completeness.\n    ";

void build_validate_results_file(nb::module_ &m, StatePtr state, nb::handle subcommand) {
    ClassBuilder cls(m, "ValidateResultsFile", class_doc);
    cls.attr("name", nb::str("results"))
        .attr("help", nb::str("validate your results file json syntax"))
        .attr("usage", nb::str("{prog} [file]"))
        .attr("description", nb::str(description));

    cls.method("__init__", [state](nb::handle self, nb::args args, nb::kwargs kwargs) {
        nb::object base = state->validate_results_file.super(self);
        nb::object copy = steal_checked(PyDict_Copy(kwargs.ptr()));
        call_with(get_attr(base, N.init), args, copy);

        nb::object add_argument = get_attr(get_attr(self, N.parser), N.add_argument);
        add_argument("file", nb::arg("metavar") = "[file]",
                     nb::arg("type") = nb::handle(reinterpret_cast<PyObject *>(&PyUnicode_Type)),
                     nb::arg("help") = "Results JSON file to validate");
    });

    cls.method(
        "run",
        [state](nb::handle, nb::handle args) -> nb::object {
            nb::object path = get_attr(args, N.file);
            nb::object file_exceptions = read_and_validate(*state, path);

            nb::object print = state->scope.global_or_builtin(N.print);
            nb::object differs = steal_checked(
                PyObject_RichCompare(file_exceptions.ptr(), Py_None, Py_NE));
            if (truthy(differs)) {
                print(file_exceptions);
                return state->scope[N.ERROR];
            }
            print(call_method(nb::str("{} accepted"), N.format, path));
            return nb::none();
        },
        nb::arg("args").none());

    nb::object built = cls.build(nb::make_tuple(subcommand));
    state->validate_results_file.bind(built);
}

}  // namespace

NB_MODULE(commands, m) {
    m.doc() = "The results subcommand of the vexa command-line tool.";
    StatePtr state = &make_state<State>(m);

    nb::object name = m.attr("__name__");
    // `from .schema import validate`: the sibling of this module, by its
    // absolute name, which is what a relative import resolves to.
    nb::object package = steal_checked(PyObject_CallMethod(name.ptr(), "rpartition", "s", "."))[0];
    nb::str schema(steal_checked(PyUnicode_FromFormat("%S.schema", package.ptr())));
    nb::str cli_base("vexa.cli.base");

    m.attr("logging") = nb::module_::import_("logging");
    m.attr("json") = nb::module_::import_("json");
    nb::object subcommand = import_from(cli_base, "Subcommand");
    m.attr("Subcommand") = subcommand;
    m.attr("ERROR") = import_from(cli_base, "ERROR");
    m.attr("validate") = import_from(schema, "validate");
    m.attr("logger") = m.attr("logging").attr("getLogger")(name);
    nb::list device_attributes;
    for (const char *attr : {"type", "os", "platform"})
        device_attributes.append(attr);
    m.attr("DEVICE_ATTRIBUTES_TO_CHECK") = device_attributes;

    build_validate_results_file(m, state, subcommand);
}
