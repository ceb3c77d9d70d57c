"""A report-server client for one stored run, for `Explorer`."""


class StoreClient:
    """Answers `get_runsheaf()` and `get_section(id_list=...)` from one run of
    a store, in process. The run may be replaced while it is browsed (a job
    storing its tree again); each fetch reads the run as it is then."""

    def __init__(self, store, key):
        self.store = store
        self.key = key

    def get_runsheaf(self):
        return self.store.node(self.key, [])

    def get_section(self, id_list):
        if not id_list:
            return None
        return self.store.node(self.key, id_list)
