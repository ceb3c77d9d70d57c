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
#include "common.hpp"

#include <memory>

using namespace vexa;

namespace {

struct Names {
    PyObject *client = interned("_client");
    PyObject *id_list = interned("_id_list");
    PyObject *obj = interned("_obj");
    PyObject *parent = interned("_parent");
    PyObject *sections_ids = interned("_sections");
    PyObject *tasks = interned("tasks");
    PyObject *sections = interned("sections");
    PyObject *get = interned("get");
    PyObject *get_runsheaf = interned("get_runsheaf");
    PyObject *get_section = interned("get_section");
    PyObject *Explorer = interned("Explorer");
    PyObject *ExplorerSections = interned("ExplorerSections");
    // iterator state
    PyObject *it_owner = interned("_owner");
    PyObject *it_count = interned("_count");
    PyObject *it_next = interned("_next");
};

const Names &names() {
    static const Names n;  // interned for the life of the process
    return n;
}

nb::handle object_type() { return reinterpret_cast<PyObject *>(&PyBaseObject_Type); }

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

void build_explorer(nb::module_ &m, const std::shared_ptr<ModuleScope> &scope) {
    ClassBuilder cls(m, "Explorer", explorer_doc);

    cls.method(
        "__init__",
        [scope](nb::handle self, nb::handle client, nb::handle id_list) {
            const Names &n = names();
            // Any falsy path (None, [], ...) selects the run itself; a truthy
            // one is kept as given, not copied.
            bool has_path = truthy(id_list);
            nb::object path = has_path ? nb::borrow(id_list) : steal_checked(PyList_New(0));
            set_attr(self, n.id_list, path);
            set_attr(self, n.client, client);

            nb::object obj;
            if (has_path)
                obj = get_attr(client, n.get_section)(nb::arg("id_list") = path);
            else
                obj = call_method(client, n.get_runsheaf);
            set_attr(self, n.obj, obj);

            if (!truthy(obj))
                return;
            for (PyObject *key : {n.tasks, n.sections}) {
                nb::handle k(key);
                if (contains(obj, k)) {
                    nb::object children = call_method(obj, n.get, k);
                    set_attr(self, key, (*scope)[n.ExplorerSections](self, children));
                }
            }
        },
        nb::arg("client").none(), nb::arg("id_list") = nb::none());

    cls.method("__bool__", [](nb::handle self) {
        return truthy(get_attr_or_none(self, names().obj));
    });

    // Reached only for names that ordinary lookup misses. `_obj` is read
    // without this fallback: on an object whose construction failed before
    // the fetch, the lookup of `_obj` would otherwise land here again.
    cls.method(
        "__getattr__",
        [](nb::handle self, nb::handle name) {
            nb::object obj = steal_checked(PyObject_GenericGetAttr(self.ptr(), names().obj));
            return call_method(obj, names().get, name);
        },
        nb::arg("name").none());

    cls.method(
        "__getitem__",
        [](nb::handle self, nb::handle key) {
            return call_method(get_attr(self, names().obj), names().get, key);
        },
        nb::arg("key").none());

    // Item lookup answers None for every key, so the interpreter's fallback
    // iteration over increasing indices would never stop: opt out of it the
    // way a class statement does, and `iter()` raises TypeError at once.
    cls.attr("__iter__", nb::none());

    cls.build(nb::make_tuple(object_type()));
}

// The iterator returned by ExplorerSections.__iter__. It works like a
// generator: nothing happens until the first next(), which takes the length
// once; each step then fetches one child through the owner's item lookup.
nb::object build_sections_iterator(nb::module_ &m) {
    ClassBuilder cls(m, "explorer_sections_iterator");

    cls.method("__iter__", [](nb::handle self) { return nb::borrow(self); });

    cls.method("__next__", [](nb::handle self) -> nb::object {
        const Names &n = names();
        nb::object owner = get_attr(self, n.it_owner);
        if (owner.is_none())
            throw nb::stop_iteration();
        // A failed step ends the iteration for good, as it does a generator.
        auto finish = [&] { set_attr(self, n.it_owner, nb::none()); };
        try {
            nb::object count = get_attr(self, n.it_count);
            if (count.is_none()) {
                Py_ssize_t len = PyObject_Size(get_attr(owner, n.sections_ids).ptr());
                check(len >= 0);
                count = nb::int_(len);
                set_attr(self, n.it_count, count);
            }
            Py_ssize_t i = nb::cast<Py_ssize_t>(get_attr(self, n.it_next));
            if (i >= nb::cast<Py_ssize_t>(count)) {
                finish();
                throw nb::stop_iteration();
            }
            set_attr(self, n.it_next, nb::int_(i + 1));
            return get_item(owner, nb::int_(i));
        } catch (nb::python_error &) {
            finish();
            throw;
        }
    });

    return cls.create(nb::make_tuple(object_type()));
}

void build_sections(nb::module_ &m, const std::shared_ptr<ModuleScope> &scope) {
    ClassBuilder cls(m, "ExplorerSections", sections_doc);

    cls.method(
        "__init__",
        [](nb::handle self, nb::handle parent, nb::handle sections) {
            set_attr(self, names().parent, parent);
            set_attr(self, names().sections_ids, sections);
        },
        nb::arg("parent").none(), nb::arg("sections").none());

    cls.method("__len__", [](nb::handle self) {
        Py_ssize_t len = PyObject_Size(get_attr(self, names().sections_ids).ptr());
        check(len >= 0);
        return len;
    });

    // In the namespace at creation, so that the class comes out unhashable.
    cls.method(
        "__eq__",
        [scope](nb::handle self, nb::handle other) {
            const Names &n = names();
            nb::object mine = get_attr(self, n.sections_ids);
            nb::object theirs = is_instance(other, (*scope)[n.ExplorerSections])
                                    ? get_attr(other, n.sections_ids)
                                    : nb::borrow(other);
            return steal_checked(PyObject_RichCompare(mine.ptr(), theirs.ptr(), Py_EQ));
        },
        nb::arg("other").none());

    cls.method(
        "__getitem__",
        [scope](nb::handle self, nb::handle index) {
            const Names &n = names();
            nb::object child_id = get_item(get_attr(self, n.sections_ids), index);
            nb::object parent = get_attr(self, n.parent);
            nb::object tail = steal_checked(PyList_New(1));
            PyList_SET_ITEM(tail.ptr(), 0, child_id.inc_ref().ptr());
            // A new list: the parent's path stays as it is.
            nb::object path = steal_checked(
                PyNumber_Add(get_attr(parent, n.id_list).ptr(), tail.ptr()));
            nb::object explorer = (*scope)[n.Explorer];
            return explorer(get_attr(parent, n.client), path);
        },
        nb::arg("index").none());

    nb::object iterator = build_sections_iterator(m);
    cls.method("__iter__", [iterator](nb::handle self) {
        const Names &n = names();
        nb::object it = iterator();
        set_attr(it, n.it_owner, self);
        set_attr(it, n.it_count, nb::none());
        set_attr(it, n.it_next, nb::int_(0));
        return it;
    });

    cls.build(nb::make_tuple(object_type()));
}

}  // namespace

NB_MODULE(explorer, m) {
    m.doc() = "Lazy, read-only browsing of a report that a report server holds.";
    auto scope = std::make_shared<ModuleScope>();
    scope->bind(m);
    build_explorer(m, scope);
    build_sections(m, scope);
}
