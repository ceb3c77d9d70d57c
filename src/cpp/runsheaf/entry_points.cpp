// The keyword-only methods a job calls for every node (the constructors,
// add_task, add_section, add_plugin, start, stop), with CPython's fast
// calling convention: keywords arrive as names beside their values, and no
// dict is built for them unless a subclass's own method must receive one.
#include "node.hpp"

namespace vexa::runsheaf {

namespace {

Keywords keywords_only(const char *name, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames) {
    if (nargs) {
        PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", name);
        throw nb::python_error();
    }
    return Keywords(kwnames, args);
}

using FastFunction = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

// start() and stop(): Spec names the method and gives its body.
template <typename Spec>
PyObject *keywords_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        Keywords kw = keywords_only(Spec::name, args, nargs, kwnames);
        Spec::body(self, kw);
        return Py_NewRef(Py_None);
    });
}

// The constructors of Runsheaf, Task, Section and Plugin.
template <typename Spec>
PyObject *init_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        Keywords kw = keywords_only("__init__", args, nargs, kwnames);
        NodeArgs node = node_args(kw, Spec::cls, nb::handle());
        Spec::init(self, node);
        return Py_NewRef(Py_None);
    });
}

// add_task(), add_section() and add_plugin().
template <typename Spec>
PyObject *child_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        Keywords kw = keywords_only(Spec::name, args, nargs, kwnames);
        return add_child(self, kw, Spec::cls(), Spec::list(), Spec::own_init, Spec::init)
            .release()
            .ptr();
    });
}

#define VEXA_BODY(Type, text, fn)                                                   \
    struct Type {                                                                   \
        static constexpr const char *name = text;                                   \
        static void body(nb::handle self, Keywords &kw) { fn(self, kw); }           \
    }
VEXA_BODY(NodeStart, "start", node_start);
VEXA_BODY(NodeStop, "stop", node_stop);
VEXA_BODY(RunsheafStop, "stop", runsheaf_stop);
VEXA_BODY(TaskStop, "stop", task_stop);
VEXA_BODY(SectionStart, "start", section_start);
VEXA_BODY(SectionStop, "stop", section_stop);
VEXA_BODY(PluginStart, "start", plugin_start);
VEXA_BODY(PluginStop, "stop", plugin_stop);
#undef VEXA_BODY

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

template <typename Kind, PyObject *Names::*Cls, PyObject *Names::*List>
struct Child : Kind {
    static constexpr const char *name = Cls == &Names::Task      ? "add_task"
                                        : Cls == &Names::Section ? "add_section"
                                                                 : "add_plugin";
    static PyObject *cls() { return N.*Cls; }
    static PyObject *list() { return N.*List; }
};

// Puts a fast-call method into a built class, where its namespace kept a
// place for it (so the class __dict__ keeps its order). Returns the method.
nb::object install_fast(nb::handle cls, const char *name, FastFunction fn) {
    // Lives as long as the process: the descriptor points to it.
    auto *def = new PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)),
                                METH_FASTCALL | METH_KEYWORDS, nullptr};
    nb::object descr = steal_checked(PyDescr_NewMethod((PyTypeObject *) cls.ptr(), def));
    check(PyObject_SetAttrString(cls.ptr(), name, descr.ptr()) == 0);
    return descr;
}

}  // namespace

void install_entry_points(nb::handle base, nb::handle runsheaf, nb::handle task,
                          nb::handle section, nb::handle plugin) {
    install_fast(base, "start", &keywords_method<NodeStart>);
    install_fast(base, "stop", &keywords_method<NodeStop>);

    state->own_init[0] = install_fast(runsheaf, "__init__", &init_method<RunsheafKind>);
    install_fast(runsheaf, "add_task", &child_method<Child<TaskKind, &Names::Task, &Names::tasks>>);
    install_fast(runsheaf, "add_plugin",
                 &child_method<Child<PluginKind, &Names::Plugin, &Names::tasks>>);
    install_fast(runsheaf, "stop", &keywords_method<RunsheafStop>);

    state->own_init[1] = install_fast(task, "__init__", &init_method<TaskKind>);
    install_fast(task, "add_section",
                 &child_method<Child<SectionKind, &Names::Section, &Names::sections>>);
    install_fast(task, "add_plugin",
                 &child_method<Child<PluginKind, &Names::Plugin, &Names::sections>>);
    install_fast(task, "stop", &keywords_method<TaskStop>);

    state->own_init[2] = install_fast(section, "__init__", &init_method<SectionKind>);
    install_fast(section, "add_section",
                 &child_method<Child<SectionKind, &Names::Section, &Names::sections>>);
    install_fast(section, "start", &keywords_method<SectionStart>);
    install_fast(section, "stop", &keywords_method<SectionStop>);

    state->own_init[3] = install_fast(plugin, "__init__", &init_method<PluginKind>);
    install_fast(plugin, "add_section",
                 &child_method<Child<SectionKind, &Names::Section, &Names::sections>>);
    install_fast(plugin, "start", &keywords_method<PluginStart>);
    install_fast(plugin, "stop", &keywords_method<PluginStop>);
}

}  // namespace vexa::runsheaf
