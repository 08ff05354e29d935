import os
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

ROOT = Path(__file__).resolve().parents[2]
SHARED = ROOT.parent / "shared"
CORPUS = SHARED / "corpus"

# Property tests run a modest number of examples by default, so the suite stays
# fast; HYPOTHESIS_PROFILE=thorough runs many.
settings.register_profile("quick", max_examples=40, deadline=None)
settings.register_profile("thorough", max_examples=3000, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "quick"))


@pytest.fixture
def corpus_dir() -> Path:
    if not CORPUS.is_dir():
        pytest.skip("the shared corpus is not present")
    return CORPUS
