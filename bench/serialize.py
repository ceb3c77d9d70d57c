"""Times the report documents against their libraries' own floors.

    python bench/serialize.py [SECTIONS] [--no-yaml]

dump_json() is compared with json.dumps of the same document already made of
plain dictionaries and lists; dump_yaml() with yaml.dump of that plain
document and yaml.SafeDumper. Ratios are measured in one run.
"""

import json
import sys
import time

import yaml

from record import count_nodes, record_job


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def all_nodes(run):
    stack, nodes = [run], []
    while stack:
        node = stack.pop()
        nodes.append(node)
        stack.extend(getattr(node, "tasks", None) or node.sections)
    return nodes


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    n_sections = int(args[0]) if args else 100_000
    run = record_job(n_sections)
    nodes = count_nodes(run)
    print("nodes: %d" % nodes)

    t_json, text = timed(run.dump_json)
    plain = json.loads(text)
    t_json_floor, _ = timed(lambda: json.dumps(plain))
    print("dump_json:       %.3f s   json.dumps floor %.3f s   ratio %.2fx   (%.1f MB)"
          % (t_json, t_json_floor, t_json / t_json_floor, len(text) / 1e6))

    every = all_nodes(run)
    t_dict, _ = timed(lambda: [node.to_dict() for node in every])
    print("to_dict:         %.2f us per node" % (t_dict / len(every) * 1e6))

    if "--no-yaml" not in sys.argv:
        t_yaml, _ = timed(run.dump_yaml)
        t_yaml_floor, _ = timed(lambda: yaml.dump(plain, Dumper=yaml.SafeDumper,
                                                  default_flow_style=False))
        print("dump_yaml:       %.2f s   yaml.dump floor %.2f s   ratio %.2fx"
              % (t_yaml, t_yaml_floor, t_yaml / t_yaml_floor))


if __name__ == "__main__":
    main()
