"""Report servers and their clients.

A client answers two questions about one report, in the report model's flat
dictionary form (a node's own fields, its children as a list of their ids):

- `get_runsheaf()`: the run, the top of the report;
- `get_section(id_list=...)`: the node at the end of a path of ids that
  starts below the run (a task's id, then a section's, and so on),
  or None when there is no such node.

This is what `vexa.reporter.explorer.Explorer` browses. Three clients:

- `TreeClient`: a report tree in this process;
- `ResultsFileClient`: a results JSON file, as `dump_json` writes it;
- `HTTPClient`: a `ReportServer` serving a results file over HTTP
  (start one with `python -m vexa.reportserver FILE`).
"""

from vexa.reportserver.clients import HTTPClient, ReportServerError, ResultsFileClient, TreeClient
from vexa.reportserver.server import ReportServer

__all__ = ["HTTPClient", "ReportServer", "ReportServerError", "ResultsFileClient", "TreeClient"]
