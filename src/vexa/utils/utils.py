"""Clock of the framework."""

import datetime


def get_time():
    """Now, as an aware local datetime, so reports read elsewhere stay exact."""
    return datetime.datetime.now().astimezone()
