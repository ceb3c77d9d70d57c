// The keyword-only methods a job calls for every node (the constructors,
// add_task, add_section, add_plugin, start, stop), with CPython's fast
// calling convention: keywords arrive as names beside their values, and no
// dict is built for them unless a subclass's own method must receive one.
// They are Functions like the classes' other methods (see common/functions.hpp).
#include "node.hpp"

namespace vexa::runsheaf {

namespace {

// The instance and the keywords of a call to a method taking `self` and
// keywords only, as a def m(self, **kw) would check them.
PyObject *self_and_keywords(PyObject *callable, PyObject *const *args, size_t nargsf,
                            PyObject *kwnames, Keywords &kw) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *qualname = reinterpret_cast<Function *>(callable)->qualname;
    if (nargs == 0) {
        PyErr_Format(PyExc_TypeError, "%U() missing 1 required positional argument: 'self'",
                     qualname);
        throw nb::python_error();
    }
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%U() takes 1 positional argument but %zd were given",
                     qualname, nargs);
        throw nb::python_error();
    }
    kw = Keywords(kwnames, args + 1);
    return args[0];
}

// start() and stop(): Body is the method's body.
template <void (*Body)(nb::handle, Keywords &)>
PyObject *keywords_method(PyObject *callable, PyObject *const *args, size_t nargsf,
                          PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        Keywords kw;
        PyObject *self = self_and_keywords(callable, args, nargsf, kwnames, kw);
        Body(self, kw);
        return Py_NewRef(Py_None);
    });
}

// The constructors of Runsheaf, Task, Section and Plugin.
template <typename Kind>
PyObject *init_method(PyObject *callable, PyObject *const *args, size_t nargsf,
                      PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        Keywords kw;
        PyObject *self = self_and_keywords(callable, args, nargsf, kwnames, kw);
        NodeArgs node = node_args(kw, Kind::cls, nb::handle());
        Kind::init(self, node);
        return Py_NewRef(Py_None);
    });
}

// add_task(), add_section() and add_plugin().
template <typename Kind, PyObject *Names::*Cls, PyObject *Names::*List>
PyObject *child_method(PyObject *callable, PyObject *const *args, size_t nargsf,
                       PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        Keywords kw;
        PyObject *self = self_and_keywords(callable, args, nargsf, kwnames, kw);
        return add_child(self, kw, N.*Cls, N.*List, Kind::own_init, Kind::init).release().ptr();
    });
}

#define VEXA_KIND(Type, text, bit, fn)                                              \
    struct Type {                                                                   \
        static constexpr const char *cls = text;                                    \
        static constexpr uint32_t own_init = bit;                                   \
        static void init(nb::handle self, NodeArgs &args) { fn(self, args); }       \
    }
VEXA_KIND(RunsheafKind, "Runsheaf", INIT_RUNSHEAF, runsheaf_init);
VEXA_KIND(TaskKind, "Task", INIT_TASK, task_init);
VEXA_KIND(SectionKind, "Section", INIT_SECTION, section_init);
VEXA_KIND(PluginKind, "Plugin", INIT_PLUGIN, plugin_init);
#undef VEXA_KIND

}  // namespace

namespace entry {
const vectorcallfunc node_start = &keywords_method<runsheaf::node_start>;
const vectorcallfunc node_stop = &keywords_method<runsheaf::node_stop>;
const vectorcallfunc runsheaf_init = &init_method<RunsheafKind>;
const vectorcallfunc runsheaf_add_task = &child_method<TaskKind, &Names::Task, &Names::tasks>;
const vectorcallfunc runsheaf_add_plugin = &child_method<PluginKind, &Names::Plugin, &Names::tasks>;
const vectorcallfunc runsheaf_stop = &keywords_method<runsheaf::runsheaf_stop>;
const vectorcallfunc task_init = &init_method<TaskKind>;
const vectorcallfunc add_section =
    &child_method<SectionKind, &Names::Section, &Names::sections>;
const vectorcallfunc task_add_plugin = &child_method<PluginKind, &Names::Plugin, &Names::sections>;
const vectorcallfunc task_stop = &keywords_method<runsheaf::task_stop>;
const vectorcallfunc section_init = &init_method<SectionKind>;
const vectorcallfunc section_start = &keywords_method<runsheaf::section_start>;
const vectorcallfunc section_stop = &keywords_method<runsheaf::section_stop>;
const vectorcallfunc plugin_init = &init_method<PluginKind>;
const vectorcallfunc plugin_start = &keywords_method<runsheaf::plugin_start>;
const vectorcallfunc plugin_stop = &keywords_method<runsheaf::plugin_stop>;
}  // namespace entry

}  // namespace vexa::runsheaf
