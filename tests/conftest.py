from hypothesis import HealthCheck, settings

# The default profile keeps the suite quick; select the long one with
# --hypothesis-profile=long for a deeper search.
settings.register_profile("default", max_examples=60, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("long", max_examples=2000, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("default")
