#include "stock.hpp"

#include "documents.hpp"

#include <cstring>

namespace vexa::runsheaf {

const NodeClassRow node_class_rows[5] = {
    {"ReportObjectBase",
     {"type", "id", "fullid", "idlist", "name", "starttime", "stoptime", "runtime", "details",
      "extra"}},
    {"Runsheaf",
     {"job_type", "suite_name", "type", "id", "fullid", "idlist", "name", "starttime",
      "stoptime", "runtime", "cli", "jobfile", "jobfile_hash", "xref", "vexapath",
      "vexaversion", "host", "submitter", "user", "archivefile", "summary", "pluginsummary",
      "result", "details", "extra", "totaltasks", "tasks", "health_result", "health_summary",
      "source_id"}},
    {"Task",
     {"type", "id", "fullid", "idlist", "name", "script_type", "starttime", "stoptime",
      "runtime", "description", "logfile", "testscript", "testscript_hash", "datafile",
      "datafile_hash", "xref", "parameters", "summary", "pluginsummary", "result", "details",
      "extra", "sections", "health_result", "health_summary"}},
    {"Plugin",
     {"type", "id", "fullid", "idlist", "name", "starttime", "stoptime", "runtime",
      "description", "logfile", "logs", "summary", "result", "details", "extra", "sections",
      "health_result"}},
    {"Section",
     {"type", "id", "fullid", "idlist", "trova_uid", "name", "testcase_type",
      "testcase_signature", "data_hash", "starttime", "stoptime", "runtime", "description",
      "xref", "logs", "parameters", "result", "details", "extra", "sections", "health_result",
      "health_summary"}},
};

const RepresenterRow representer_rows[21] = {
    {TypeHome::NoneType, "NoneType", Provider::SafeDumper, "represent_none", nullptr},
    {TypeHome::Builtin, "bytes", Provider::SafeDumper, "represent_binary", nullptr},
    {TypeHome::Builtin, "bool", Provider::SafeDumper, "represent_bool", nullptr},
    {TypeHome::Builtin, "int", Provider::SafeDumper, "represent_int", nullptr},
    {TypeHome::Builtin, "list", Provider::SafeDumper, "represent_list", nullptr},
    {TypeHome::Builtin, "tuple", Provider::SafeDumper, "represent_list", nullptr},
    {TypeHome::Builtin, "dict", Provider::SafeDumper, "represent_dict", nullptr},
    {TypeHome::Builtin, "set", Provider::SafeDumper, "represent_set", nullptr},
    {TypeHome::Datetime, "date", Provider::SafeDumper, "represent_date", nullptr},
    {TypeHome::Datetime, "datetime", Provider::SafeDumper, "represent_datetime", nullptr},
    // Exact-type registrations of this module, last, in this order.
    {TypeHome::Builtin, "str", Provider::Module, "str_representer", &str_representer},
    {TypeHome::Builtin, "float", Provider::Module, "float_representer", &float_representer},
    {TypeHome::Builtin, "type", Provider::Module, "type_representer", &type_representer},
    {TypeHome::Fallback, "None", Provider::Module, "unknown_representer", &unknown_representer},
    {TypeHome::Module, "ResultCounter", Provider::Module, "ResultCounter_representer",
     &counter_representer},
    {TypeHome::Module, "TestResult", Provider::Module, "TestResult_representer",
     &result_representer},
    {TypeHome::Module, "AttrDict", Provider::Module, "AttrDict_representer",
     &attrdict_representer},
    {TypeHome::Module, "Runsheaf", Provider::ToYaml, "to_yaml", nullptr},
    {TypeHome::Module, "Task", Provider::ToYaml, "to_yaml", nullptr},
    {TypeHome::Module, "Section", Provider::ToYaml, "to_yaml", nullptr},
    {TypeHome::Module, "Plugin", Provider::ToYaml, "to_yaml", nullptr},
};

nb::list arg_order(const char *name) {
    for (const NodeClassRow &row : node_class_rows) {
        if (std::strcmp(row.name, name) != 0)
            continue;
        nb::list list;
        for (const char *field : row.arg_order)
            list.append(nb::steal(interned(field)));  // fast attribute lookups
        return list;
    }
    throw std::logic_error("no such node class");
}

nb::object row_type(const RepresenterRow &row, nb::handle module) {
    switch (row.home) {
    case TypeHome::NoneType: return nb::borrow(type_of(nb::none()));
    case TypeHome::Builtin: return nb::module_::import_("builtins").attr(row.type);
    case TypeHome::Datetime: return nb::module_::import_("datetime").attr(row.type);
    case TypeHome::Module: return module.attr(row.type);
    case TypeHome::Fallback: break;
    }
    return nb::none();
}

static nb::object representer(const RepresenterRow &row, nb::handle module) {
    switch (row.provider) {
    case Provider::SafeDumper:
        return nb::module_::import_("yaml.representer").attr("SafeRepresenter").attr(row.function);
    case Provider::Module: return module.attr(row.function);
    case Provider::ToYaml: break;
    }
    return row_type(row, module).attr(row.function);
}

void define_representers(nb::module_ &m) {
    for (const RepresenterRow &row : representer_rows)
        if (row.provider == Provider::Module)
            m.attr(row.function) = module_function(m, row.function, row.fn,
                                                   nb::arg("dumper").none(), nb::arg("data").none());
}

void register_representers(nb::handle module, nb::handle dumper) {
    nb::object add_representer = dumper.attr("add_representer");
    for (const RepresenterRow &row : representer_rows)
        if (row.provider != Provider::SafeDumper)
            add_representer(row_type(row, module), representer(row, module));
}

nb::dict expected_representers(nb::handle module) {
    nb::dict want;
    for (const RepresenterRow &row : representer_rows)
        want[row_type(row, module)] = representer(row, module);
    return want;
}

}  // namespace vexa::runsheaf
