import os
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "python" / "tests" / "data"
EXAMPLE = ROOT / "examples" / "nordlicht-2025.xhtml"
EDGE, INLINE, OUTCOMES, HOSTILE = (DATA / name for name in (
    "edge-cases.xbrl", "inline-edge-cases.xhtml", "every-outcome.xhtml", "hostile.xhtml"))
CORPUS = ROOT.parent / "shared" / "corpus"

# Property tests run a modest number of examples by default, so the suite stays
# fast; HYPOTHESIS_PROFILE=thorough runs many.
settings.register_profile("quick", max_examples=40, deadline=None)
settings.register_profile("thorough", max_examples=3000, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "quick"))


def documents(*folders):
    """Every XML, XBRL and HTML file under the folders, in path order."""
    suffixes = (".htm", ".html", ".xhtml", ".xml", ".xbrl")
    return sorted(p for folder in folders for p in folder.rglob("*") if p.is_file() and p.suffix.lower() in suffixes)


@pytest.fixture
def corpus_dir() -> Path:
    if not CORPUS.is_dir():
        pytest.skip("the shared corpus is not present")
    return CORPUS
