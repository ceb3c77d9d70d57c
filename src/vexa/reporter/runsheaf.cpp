#include "common.hpp"

using namespace vexa;

NB_MODULE(runsheaf, m) {
    ClassBuilder(m, "ReportHeader").build(nb::make_tuple(nb::handle((PyObject *) &PyBaseObject_Type)));
}
