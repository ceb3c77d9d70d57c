// vexa.reporter.junitxml: the fast path of vexa.reporter.junit.
//
//   write(report, log_slice, timestamp) -> str or None
//       the JUnit XML text of a results document or a live run, as the
//       Python mapping writes it; None where it leaves the work to that
//       mapping (see writer.hpp). log_slice(logs, None) gives a test case's
//       slice of its log or None; timestamp(value) the ISO 8601 text of a
//       start time or None.
#include "writer.hpp"

namespace vexa::junitxml {

State::State(nb::handle module) : ModuleState(module) {
    // A live tree reads as its dump_json() document only while the node
    // classes, the fields they write and the JSON rules are those found here.
    Pins::Id rs = pins.fixed(nb::module_::import_("vexa.reporter.runsheaf"));
    const char *class_names[KINDS] = {"Runsheaf", "Task", "Section", "Plugin"};
    for (int k = 0; k < KINDS; ++k) {
        classes[k] = pins.attr(rs, interned(class_names[k]));
        nb::handle cls = pins[classes[k]];
        check(cls.is_valid());
        pins.attr(classes[k], N._ARG_ORDER);
        pins.attr(classes[k], interned("dump_json"));
        arg_orders[k] = steal_checked(PySequence_Tuple(get_attr(cls, N._ARG_ORDER).ptr()));
        for (int f = 0; f < FIELDS; ++f) {
            int r = PySequence_Contains(arg_orders[k].ptr(), field_name((Field) f));
            check(r >= 0);
            if (r)
                fields[k] |= 1u << f;
        }
    }
    test_result = pins.attr(rs, interned("TestResult"));
    result_counter = pins.attr(rs, interned("ResultCounter"));
    value_ignore = pins.attr(rs, interned("VALUE_IGNORE"));
    value_ignore_items = steal_checked(PySequence_Tuple(pins[value_ignore].ptr()));
    pins.attr(rs, interned("ReportHeader"));
    pins.attr(pins.attr(rs, interned("JSONDumper")), interned("default"));
    Pins::Id json = pins.fixed(nb::module_::import_("json"));
    pins.attr(json, interned("dumps"));
    pins.attr(json, interned("loads"));
    Pins::Id encoder = pins.attr(json, interned("JSONEncoder"));
    for (const char *name : {"default", "encode", "iterencode"})
        pins.attr(encoder, interned(name));
}

bool State::live_holds() const {
    if (!pins.holds())
        return false;
    // The lists themselves may have been changed in place.
    auto same = [](nb::handle list, nb::handle snapshot) {
        if (!PyList_CheckExact(list.ptr()) ||
            PyList_GET_SIZE(list.ptr()) != PyTuple_GET_SIZE(snapshot.ptr()))
            return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(snapshot.ptr()); ++i)
            if (!equal(PyList_GET_ITEM(list.ptr(), i), PyTuple_GET_ITEM(snapshot.ptr(), i)))
                return false;
        return true;
    };
    for (int k = 0; k < KINDS; ++k)
        if (!same(get_attr(pins[classes[k]], N._ARG_ORDER), arg_orders[k]))
            return false;
    return same(pins[value_ignore], value_ignore_items);
}

void State::release() {
    pins.release();
    for (nb::object &o : arg_orders)
        o.reset();
    value_ignore_items.reset();
}

}  // namespace vexa::junitxml

using namespace vexa;
using namespace vexa::junitxml;

NB_MODULE(junitxml, m) {
    replace_state(m, state);
    m.def("write", [](nb::handle report, nb::handle log_slice, nb::handle timestamp) -> nb::object {
        nb::object text = write(report, log_slice, timestamp);
        return text.is_valid() ? text : nb::none();
    }, nb::arg("report").none(), nb::arg("log_slice").none(), nb::arg("timestamp").none(),
       "The JUnit XML text of `report`, or None where the Python mapping must write it.");
}
