from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SHARED = ROOT.parent / "shared"
CORPUS = SHARED / "corpus"


@pytest.fixture
def corpus_dir() -> Path:
    if not CORPUS.is_dir():
        pytest.skip("the shared corpus is not present")
    return CORPUS
