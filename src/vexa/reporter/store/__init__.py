"""The report store: every run kept, any node fetched by its path.

    from vexa.reporter.store import Store, StoreClient
    with Store("sqlite:///reports.sqlite") as store:
        key = store.import_file("results.json")["key"]
        run = Explorer(StoreClient(store, key))

`Store(url)` takes a store URL (see `url.store_url`): `sqlite:///PATH`, or
None for VEXA_STORE or the user's data folder.
"""

from vexa.reporter.store.client import StoreClient
from vexa.reporter.store.core import ImportResult, Store, check_readable
from vexa.reporter.store.url import ENVIRONMENT, StoreError, default_url, store_url

__all__ = ["ENVIRONMENT", "ImportResult", "Store", "StoreClient", "StoreError", "check_readable",
           "default_url", "store_url"]
