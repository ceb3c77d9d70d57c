// vexa.reporter.explorer: lazy, read-only browsing of a report that a report
// server holds, one node dictionary at a time.
//
//   Explorer(client, id_list=None)
//       fetches its node once, with client.get_runsheaf() for the empty path
//       and client.get_section(id_list=...) otherwise; fields read as
//       attributes or items, None when absent; .tasks / .sections
//   ExplorerSections(parent, sections)
//       the child ids of a node; len() and == never fetch, [i] and iteration
//       fetch one child per step
//
// The module imports nothing of the framework: the client is its only party.
#include "../common/calls.hpp"
#include "../common/module_state.hpp"

using namespace vexa;

namespace {

// The module's state: only the namespace its methods read, weak, so nothing
// here must be let go at exit. Each import of the module has its own, held
// by the methods that read it: a module imported afresh is one of its own.
using StatePtr = const ModuleState *;

const char *const explorer_doc =
    "Explorer\n"
    "\n"
    "    Acts like a runsheaf-like object, and only retrieves child sections from\n"
    "    the reporter server when they are accessed\n"
    "    ";

const char *const sections_doc =
    "ExplorerSections\n"
    "\n"
    "    Acts like the list of children sections, but only retrieves the section when\n"
    "    that index is accessed\n"
    "    ";

void build_explorer(nb::module_ &m, StatePtr state) {
    ClassBuilder cls(m, "Explorer", explorer_doc);

    cls.method(
        "__init__",
        [state](nb::handle self, nb::handle client, nb::handle id_list) {
            // Any falsy path (None, [], ...) selects the run itself; a truthy
            // one is kept as given, not copied.
            bool has_path = truthy(id_list);
            nb::object path = has_path ? nb::borrow(id_list) : steal_checked(PyList_New(0));
            set_attr(self, N.id_list, path);
            set_attr(self, N.client, client);

            nb::object obj;
            if (has_path)
                obj = get_attr(client, N.get_section)(nb::arg("id_list") = path);
            else
                obj = call_method(client, N.get_runsheaf);
            set_attr(self, N.obj, obj);

            if (!truthy(obj))
                return;
            for (PyObject *key : {N.tasks, N.sections}) {
                nb::handle k(key);
                if (contains(obj, k)) {
                    nb::object children = call_method(obj, N.get, k);
                    set_attr(self, key, state->scope[N.ExplorerSections](self, children));
                }
            }
        },
        nb::arg("client").none(), nb::arg("id_list") = nb::none());

    cls.method("__bool__", [](nb::handle self) {
        return truthy(get_attr_or_none(self, N.obj));
    });

    // Reached only for names that ordinary lookup misses. `_obj` is read
    // without this fallback: on an object whose construction failed before
    // the fetch, the lookup of `_obj` would otherwise land here again.
    cls.method(
        "__getattr__",
        [](nb::handle self, nb::handle name) {
            nb::object obj = steal_checked(PyObject_GenericGetAttr(self.ptr(), N.obj));
            return call_method(obj, N.get, name);
        },
        nb::arg("name").none());

    cls.method(
        "__getitem__",
        [](nb::handle self, nb::handle key) {
            return call_method(get_attr(self, N.obj), N.get, key);
        },
        nb::arg("key").none());

    // Item lookup answers None for every key, so the interpreter's fallback
    // iteration over increasing indices would never stop: opt out of it the
    // way a class statement does, and `iter()` raises TypeError at once.
    cls.attr("__iter__", nb::none());

    cls.build(object_bases());
}

// The iterator returned by ExplorerSections.__iter__. It works like a
// generator: nothing happens until the first next(), which takes the length
// once; each step then fetches one child through the owner's item lookup.
nb::object build_sections_iterator(nb::module_ &m) {
    ClassBuilder cls(m, "explorer_sections_iterator");

    cls.method("__iter__", [](nb::handle self) { return nb::borrow(self); });

    cls.method("__next__", [](nb::handle self) -> nb::object {
        nb::object owner = get_attr(self, N.it_owner);
        if (owner.is_none())
            throw nb::stop_iteration();
        // A failed step ends the iteration for good, as it does a generator.
        auto finish = [&] { set_attr(self, N.it_owner, nb::none()); };
        try {
            nb::object count = get_attr(self, N.it_count);
            if (count.is_none()) {
                Py_ssize_t len = PyObject_Size(get_attr(owner, N.sections_ids).ptr());
                check(len >= 0);
                count = nb::int_(len);
                set_attr(self, N.it_count, count);
            }
            Py_ssize_t i = nb::cast<Py_ssize_t>(get_attr(self, N.it_next));
            if (i >= nb::cast<Py_ssize_t>(count)) {
                finish();
                throw nb::stop_iteration();
            }
            set_attr(self, N.it_next, nb::int_(i + 1));
            return get_item(owner, nb::int_(i));
        } catch (nb::python_error &) {
            finish();
            throw;
        }
    });

    return cls.create(object_bases());
}

void build_sections(nb::module_ &m, StatePtr state) {
    ClassBuilder cls(m, "ExplorerSections", sections_doc);

    cls.method(
        "__init__",
        [](nb::handle self, nb::handle parent, nb::handle sections) {
            set_attr(self, N._parent, parent);
            set_attr(self, N.sections_ids, sections);
        },
        nb::arg("parent").none(), nb::arg("sections").none());

    cls.method("__len__", [](nb::handle self) {
        Py_ssize_t len = PyObject_Size(get_attr(self, N.sections_ids).ptr());
        check(len >= 0);
        return len;
    });

    // In the namespace at creation, so that the class comes out unhashable.
    cls.method(
        "__eq__",
        [state](nb::handle self, nb::handle other) {
            nb::object mine = get_attr(self, N.sections_ids);
            nb::object theirs = is_instance(other, state->scope[N.ExplorerSections])
                                    ? get_attr(other, N.sections_ids)
                                    : nb::borrow(other);
            return steal_checked(PyObject_RichCompare(mine.ptr(), theirs.ptr(), Py_EQ));
        },
        nb::arg("other").none());

    cls.method(
        "__getitem__",
        [state](nb::handle self, nb::handle index) {
            nb::object child_id = get_item(get_attr(self, N.sections_ids), index);
            nb::object parent = get_attr(self, N._parent);
            nb::object tail = steal_checked(PyList_New(1));
            PyList_SET_ITEM(tail.ptr(), 0, child_id.inc_ref().ptr());
            // A new list: the parent's path stays as it is.
            nb::object path = steal_checked(
                PyNumber_Add(get_attr(parent, N.id_list).ptr(), tail.ptr()));
            nb::object explorer = state->scope[N.Explorer];
            return explorer(get_attr(parent, N.client), path);
        },
        nb::arg("index").none());

    nb::object iterator = build_sections_iterator(m);
    cls.method("__iter__", [iterator](nb::handle self) {
        nb::object it = iterator();
        set_attr(it, N.it_owner, self);
        set_attr(it, N.it_count, nb::none());
        set_attr(it, N.it_next, nb::int_(0));
        return it;
    });

    cls.build(object_bases());
}

}  // namespace

NB_MODULE(explorer, m) {
    m.doc() = "Lazy, read-only browsing of a report that a report server holds.";
    StatePtr state = &make_state<ModuleState>(m);
    build_explorer(m, state);
    build_sections(m, state);
}
