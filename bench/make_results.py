"""Writes the results file of a synthetic job (the job of record.py).

    python bench/make_results.py SECTIONS OUT.json [OUT.yaml]
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from record import record_job  # noqa: E402


def main():
    n_sections, out = int(sys.argv[1]), sys.argv[2]
    run = record_job(n_sections)
    with open(out, "w", encoding="utf-8") as f:
        f.write(run.dump_json())
    if len(sys.argv) > 3:
        with open(sys.argv[3], "w", encoding="utf-8") as f:
            f.write(run.dump_yaml())


if __name__ == "__main__":
    main()
