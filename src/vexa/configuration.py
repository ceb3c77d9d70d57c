"""The framework's configuration (only what the reporter needs).

The reporter imports `configuration` and reads nothing from it; the real one
is filled from the framework's configuration files.
"""

from vexa.datastructures import AttrDict

configuration = AttrDict()
