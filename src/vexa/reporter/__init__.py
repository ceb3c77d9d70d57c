"""Result reporting of the vexa framework.

Four C++ extension modules:

- `runsheaf`: the report tree of a job and its JSON, YAML and dict forms;
- `brevlet`: the legacy ResultsDetails.xml and ResultsSummary.xml files;
- `explorer`: lazy, read-only browsing of a report held by a report server;
- `commands`: the `results` subcommand of the `vexa` command-line tool.
"""
