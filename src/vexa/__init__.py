"""The vexa test-automation framework (only the parts the reporter needs).

`vexa.reporter` is the reporting package proper: four C++ extension modules.
Everything else here is a small stand-in for a framework package that the
reporter calls, written from what the reporter expects of it.
"""
