"""Entry points of the legacy report library."""
