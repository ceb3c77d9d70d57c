"""Times the legacy XML export and the escaping; prints its figures.

    python bench/xml_files.py [SECTIONS [REPEAT]]

- escape() on 1 MB of text, dense with ANSI colour codes and without any,
  against the same work done in pure Python (the pattern substitution with a
  Python callback, then the UTF-8 round trip);
- generate_xml() on a job of SECTIONS sections (100,000 by default, recorded
  with the report model by record.py): the generic path split into mapping
  (the legacy tree), DOM and serialisation, and pretty-printing with minidom;
  then the whole call on the generic path and on the direct path (pretty text
  written from the element tree), and the part the direct path replaces
  alone (steps 4-5 and the files, on a legacy document built beforehand),
  each with its CPU time, wall time and the peak growth of the resident set.

Each job figure is the best of REPEAT (3) fresh interpreters, so that one
measurement does not inherit the memory another left behind and a busy
machine disturbs less; the runs of the different kinds alternate. The stages
run with the garbage collector paused, as generate_xml pauses it. Memory
figures need Linux.
"""

import gc
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import timeit

from record import record_job



# ---------------------------------------------------------------- memory

def _status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def measure(fn):
    """([CPU seconds, wall seconds, peak growth of the resident set], result).

    CPU time besides wall time: the machines this runs on are shared.
    """
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets the high-water mark
    base = _status("VmRSS")
    cpu, wall = time.process_time(), time.perf_counter()
    result = fn()
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    return [cpu, wall, _status("VmHWM") - base], result


# ---------------------------------------------------------------- escape

def python_escape(text, _sub=re.compile("[\x00-\x08]|\x1b").sub):
    def repl(match):
        return "\\x{:>02x}".format(ord(match.group(0)))
    return _sub(repl, text).encode("utf-8", "backslashreplace").decode("utf-8")


def bench_escape():
    from vexa.reporter.brevlet import escape

    size = 1 << 20
    ansi = "\x1b[1;31mFAIL\x1b[0m step \x1b[32m%d\x1b[0m done\n"
    dense = "".join(ansi % i for i in range(size // 20))[:size]
    plain = "".join("line %d of a plain log without colour\n" % i
                    for i in range(size // 30))[:size]
    print("escape, 1 MB of text          C++       pure Python   speed-up")
    for label, text in (("dense with ANSI codes", dense), ("without control chars", plain)):
        assert escape(text) == python_escape(text)
        n, clock = 5, time.process_time
        fast = min(timeit.repeat(lambda: escape(text), number=n, repeat=5, timer=clock)) / n
        slow = min(timeit.repeat(lambda: python_escape(text), number=n, repeat=3,
                                 timer=clock)) / n
        print("  %-26s %8.2f ms %10.2f ms %9.1fx" % (label, fast * 1e3, slow * 1e3, slow / fast))


# ---------------------------------------------------------------- generate_xml

def one(n_sections, what):
    """Runs one job measurement in this interpreter; prints it as JSON."""
    import xml.etree.ElementTree as ET
    from xml.dom import minidom

    from vexa.reporter import brevlet

    run = record_job(n_sections)
    logsdir = tempfile.mkdtemp()
    b = brevlet.Brevlet(logsdir, run)
    figures = {}
    if what == "stages":
        gc.disable()  # as generate_xml does while it runs

        def mapping():
            b.zelreport.runsheaf = brevlet.Runsheaf()
            b._handle_runsheaf(b.zelreport.runsheaf, run)
        figures["mapping (steps 1-2)"] = measure(mapping)[0]
        figures["DOM, serialisation (3-4)"], rough = measure(
            lambda: ET.tostring(b.zelreport.generate_dom(), encoding="utf-8"))
        figures["pretty-printing (5)"] = measure(
            lambda: minidom.parseString(rough).toprettyxml(indent="  "))[0]
        figures["size"] = len(rough)
    else:
        if what.endswith("generic"):
            # Any stand-in for the module's minidom takes the generic path.
            brevlet.minidom = type(sys)("minidom")
            brevlet.minidom.parseString = minidom.parseString
        if what.startswith("writer"):
            # Only steps 4-5 and the files: the legacy document is built
            # beforehand and handed over as it is.
            b.zelreport.runsheaf = brevlet.Runsheaf()
            b._handle_runsheaf(b.zelreport.runsheaf, run)
            dom = b.zelreport.generate_dom()

            class Built(brevlet.Brevlet):
                def _handle_runsheaf(self, zelts, runsheaf):
                    return zelts

            b = Built(logsdir, run)
            b.zelreport.generate_dom = lambda: dom
        figures["generate_xml"] = measure(lambda: b.generate_xml(None, None))[0]
        figures["size"] = os.path.getsize(os.path.join(logsdir, "ResultsDetails.xml"))
    print(json.dumps(figures))


def run_one(n_sections, what):
    """Figures of one fresh interpreter."""
    out = subprocess.run([sys.executable, __file__, "--one", str(n_sections), what],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out.splitlines()[-1])


def run_rounds(n_sections, kinds, repeat):
    """The least CPU time, wall time and peak memory of each kind over
    `repeat` rounds; each round runs every kind once, so that the kinds
    share whatever else the machine is doing."""
    best = {}
    for _ in range(repeat):
        for what in kinds:
            for key, value in run_one(n_sections, what).items():
                key = (what, key)
                if key[1] == "size":
                    best[key] = value
                elif key in best:
                    best[key] = [min(a, b) for a, b in zip(best[key], value)]
                else:
                    best[key] = value
    return best


def bench_generate_xml(n_sections, repeat):
    mb = 1 / (1 << 20)
    row = "  %-34s %8.2fs %8.2fs %8.0f MB"
    head = "  %-34s %9s %9s %11s"
    print("\ngenerate_xml, %d sections (best of %d runs)" % (n_sections, repeat))
    kinds = ("generic", "direct", "writer-generic", "writer-direct")
    best = run_rounds(n_sections, ("stages",) + kinds, repeat)
    stages = {key: value for (what, key), value in best.items() if what == "stages"}
    print("  details document: %.1f MB unformatted" % (stages.pop("size") * mb))
    print(head % ("generic path, by stage", "CPU", "wall", "peak memory"))
    for name, (cpu, wall, peak) in stages.items():
        print(row % (name, cpu, wall, peak * mb))
    results = {what: best[what, "generate_xml"] for what in kinds}
    print(head % ("whole call", "CPU", "wall", "peak memory"))
    labels = {"generic": "generate_xml, generic (minidom)",
              "direct": "generate_xml, direct",
              "writer-generic": "steps 4-5 + files, generic",
              "writer-direct": "steps 4-5 + files, direct"}
    for what, label in labels.items():
        cpu, wall, peak = results[what]
        print(row % (label, cpu, wall, peak * mb))
    for name, generic, direct in (("generate_xml", "generic", "direct"),
                                  ("steps 4-5 + files", "writer-generic", "writer-direct")):
        (cg, wg, mg), (cd, wd, md) = results[generic], results[direct]
        print("  %s, direct path: %.1fx faster in CPU time, %.1fx in wall time;"
              " %.2f of the generic peak memory" % (name, cg / cd, wg / wd, md / mg))


def main():
    if sys.argv[1:2] == ["--one"]:
        one(int(sys.argv[2]), sys.argv[3])
        return
    n_sections = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    repeat = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    bench_escape()
    bench_generate_xml(n_sections, repeat)


if __name__ == "__main__":
    main()
