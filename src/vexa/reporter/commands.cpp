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
#include "common.hpp"

#include <memory>

using namespace vexa;

namespace {

struct Names {
    PyObject *open = interned("open");
    PyObject *print = interned("print");
    PyObject *json = interned("json");
    PyObject *loads = interned("loads");
    PyObject *validate = interned("validate");
    PyObject *ERROR = interned("ERROR");
    PyObject *parser = interned("parser");
    PyObject *add_argument = interned("add_argument");
    PyObject *init = interned("__init__");
    PyObject *enter = interned("__enter__");
    PyObject *exit = interned("__exit__");
    PyObject *read = interned("read");
    PyObject *file = interned("file");
    PyObject *format = interned("format");
};

const Names &names() {
    static const Names n;  // interned for the life of the process
    return n;
}

// `from <module> import <name>`, with the interpreter's ImportError for a
// missing name.
nb::object import_from(nb::handle module, const char *name) {
    nb::object fromlist = nb::make_tuple(nb::str(name));
    nb::object mod = steal_checked(PyImport_ImportModuleLevelObject(
        module.ptr(), nullptr, nullptr, fromlist.ptr(), 0));
    nb::object value = get_optional_attr(mod, nb::str(name).ptr());
    if (value.is_valid())
        return value;
    nb::object mod_name = get_attr_or_none(mod, interned("__name__"));
    nb::object path = get_attr_or_none(mod, interned("__file__"));
    nb::object where = path.is_none() ? nb::str("unknown location") : path;
    nb::object msg = steal_checked(PyUnicode_FromFormat(
        "cannot import name '%s' from '%S' (%S)", name, mod_name.ptr(), where.ptr()));
    PyErr_SetImportError(msg.ptr(), mod_name.ptr(), path.ptr());
    throw nb::python_error();
}

// A name as a function body sees it: the module's globals, then builtins.
nb::object global_or_builtin(const ModuleScope &scope, PyObject *name) {
    nb::object module = scope.module();
    PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(module.ptr()), name);
    if (value)
        return nb::borrow(value);
    check(!PyErr_Occurred());
    return get_attr(nb::module_::import_("builtins"), name);
}

// type(obj).<name>, as the with statement looks up __enter__ and __exit__.
nb::object special_method(nb::handle obj, PyObject *name) {
    nb::handle type(reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr())));
    nb::object fn = get_optional_attr(type, name);
    if (!fn.is_valid()) {
        PyErr_Format(PyExc_TypeError,
                     "'%s' object does not support the context manager protocol",
                     Py_TYPE(obj.ptr())->tp_name);
        throw nb::python_error();
    }
    return fn;
}

// Read, parse and validate inside the file's managed block, which is left
// (and the file closed) on every path before the findings are judged.
nb::object read_and_validate(const ModuleScope &scope, nb::handle path) {
    const Names &n = names();
    nb::object manager = global_or_builtin(scope, n.open)(path, "r");
    nb::object exit = special_method(manager, n.exit);
    nb::object f = special_method(manager, n.enter)(manager);

    nb::object findings;
    try {
        nb::object content = call_method(f, n.read);
        nb::object document = get_attr(scope[n.json], n.loads)(content);
        findings = scope[n.validate](document);
    } catch (nb::python_error &e) {
        nb::object tb = e.traceback();
        nb::object suppress;
        try {
            suppress = exit(manager, e.type(), e.value(), tb.is_valid() ? tb : nb::none());
        } catch (nb::python_error &raised) {
            if (!raised.value().is(e.value()))
                PyException_SetContext(raised.value().ptr(), e.value().inc_ref().ptr());
            throw;
        }
        if (!truthy(suppress))
            throw;
        // A manager that swallows the error leaves the result unbound.
        PyErr_SetString(PyExc_UnboundLocalError,
                        "cannot access local variable 'file_exceptions' where it is "
                        "not associated with a value");
        throw nb::python_error();
    }
    exit(manager, nb::none(), nb::none(), nb::none());
    return findings;
}

const char *const class_doc = "\n    Validates that a results file is loadable\n    ";

const char *const description =
    "\nValidates the provided results json file for syntax and content completeness.\n    ";

void build_validate_results_file(nb::module_ &m, const std::shared_ptr<ModuleScope> &scope,
                                 nb::handle subcommand) {
    auto self_class = std::make_shared<DefiningClass>();
    ClassBuilder cls(m, "ValidateResultsFile", class_doc);
    cls.attr("name", nb::str("results"))
        .attr("help", nb::str("validate your results file json syntax"))
        .attr("usage", nb::str("{prog} [file]"))
        .attr("description", nb::str(description));

    cls.method("__init__", [self_class](nb::handle self, nb::args args, nb::kwargs kwargs) {
        const Names &n = names();
        nb::object base = self_class->super(self);
        nb::object copy = steal_checked(PyDict_Copy(kwargs.ptr()));
        steal_checked(PyObject_Call(get_attr(base, n.init).ptr(), args.ptr(), copy.ptr()));

        nb::object add_argument = get_attr(get_attr(self, n.parser), n.add_argument);
        add_argument("file", nb::arg("metavar") = "[file]",
                     nb::arg("type") = nb::handle(reinterpret_cast<PyObject *>(&PyUnicode_Type)),
                     nb::arg("help") = "Results JSON file to validate");
    });

    cls.method(
        "run",
        [scope](nb::handle, nb::handle args) -> nb::object {
            const Names &n = names();
            nb::object path = get_attr(args, n.file);
            nb::object file_exceptions = read_and_validate(*scope, path);

            nb::object print = global_or_builtin(*scope, n.print);
            nb::object differs = steal_checked(
                PyObject_RichCompare(file_exceptions.ptr(), Py_None, Py_NE));
            if (truthy(differs)) {
                print(file_exceptions);
                return (*scope)[n.ERROR];
            }
            print(call_method(nb::str("{} accepted"), n.format, path));
            return nb::none();
        },
        nb::arg("args").none());

    nb::object built = cls.build(nb::make_tuple(subcommand));
    self_class->bind(built);
}

}  // namespace

NB_MODULE(commands, m) {
    m.doc() = "The results subcommand of the vexa command-line tool.";
    auto scope = std::make_shared<ModuleScope>();
    scope->bind(m);

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

    build_validate_results_file(m, scope, subcommand);
}
