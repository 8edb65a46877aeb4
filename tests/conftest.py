"""Shared test settings."""
import os

from hypothesis import HealthCheck, settings

# Property tests run deterministically (a fixed seed per test) so that a run is
# repeatable; HYPOTHESIS_PROFILE=explore draws new examples on every run.
# Timing-based checks are off: the suite also runs under the sanitizers.
settings.register_profile(
    "default", derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("explore", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))
