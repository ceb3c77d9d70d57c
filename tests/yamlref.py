"""Pure-Python stand-in for the report module's YAML dumper (scratch only)."""
import yaml

from vexa.datastructures import AttrDict
from vexa.results import ResultCounter, TestResult

YAML_MAP = "tag:yaml.org,2002:map"
YAML_STR = "tag:yaml.org,2002:str"
YAML_FLT = "tag:yaml.org,2002:float"
FLOAT_PRECISION = 2
VALUE_IGNORE = [None, [], {}]


class YAMLDumper(yaml.SafeDumper):
    def increase_indent(self, flow=False, indentless=False):
        return super().increase_indent(flow, False)

    def ignore_aliases(self, data):
        return True


def node_pairs(data):
    pairs = []
    for name in data._ARG_ORDER:
        if getattr(data, name, None) in VALUE_IGNORE:
            continue
        pairs.append((name, getattr(data, name)))
    return pairs


class ReportObjectBase:
    _ARG_ORDER = ["type", "id", "fullid", "idlist", "name", "starttime",
                  "stoptime", "runtime", "details", "extra"]

    def __init__(self, **kw):
        for k, v in kw.items():
            setattr(self, k, v)

    @classmethod
    def to_yaml(cls, dumper, data):
        return dumper.represent_mapping(YAML_MAP, node_pairs(data))


class Runsheaf(ReportObjectBase):
    pass


class Task(ReportObjectBase):
    pass


class Section(ReportObjectBase):
    _ARG_ORDER = ReportObjectBase._ARG_ORDER + ["result", "sections"]


class Plugin(ReportObjectBase):
    pass


def str_representer(dumper, data):
    if "\n" in data:
        data = "\n".join(line.rstrip() for line in data.split("\n"))
        return dumper.represent_scalar(YAML_STR, data, style="|")
    return dumper.represent_scalar(YAML_STR, data)


def float_representer(dumper, data):
    return dumper.represent_scalar(YAML_FLT, str(round(data, FLOAT_PRECISION)))


def type_representer(dumper, data):
    return dumper.represent_scalar(YAML_STR, repr(data))


def unknown_representer(dumper, data):
    return dumper.represent_mapping(YAML_MAP, {"type": type(data), "repr": repr(data)})


def ResultCounter_representer(dumper, data):
    pairs = list(data.items())
    pairs.append(("total", data.total))
    pairs.append(("success_rate", data.success_rate))
    return dumper.represent_mapping(YAML_MAP, pairs)


def TestResult_representer(dumper, data):
    d = {"value": data.value}
    if data.reason:
        d["reason"] = data.reason
    if data.data:
        d["data"] = data.data
    return dumper.represent_mapping(YAML_MAP, d)


def AttrDict_representer(dumper, data):
    return dumper.represent_mapping(YAML_MAP, data)


YAMLDumper.add_representer(str, str_representer)
YAMLDumper.add_representer(float, float_representer)
YAMLDumper.add_representer(type, type_representer)
YAMLDumper.add_representer(None, unknown_representer)
YAMLDumper.add_representer(ResultCounter, ResultCounter_representer)
YAMLDumper.add_representer(TestResult, TestResult_representer)
YAMLDumper.add_representer(AttrDict, AttrDict_representer)
for _cls in (Runsheaf, Task, Section, Plugin):
    YAMLDumper.add_representer(_cls, _cls.to_yaml)


def reference(doc):
    return yaml.dump(doc, Dumper=YAMLDumper, default_flow_style=False)
