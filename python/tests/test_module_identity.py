"""One module object per process: initialising again in the same interpreter
gives the same object, and a second interpreter is refused."""

import ctypes
import importlib
import os
import sys

import pytest

import quorrel

SUBINTERPRETER_REFUSAL = (
    "quorrel does not support sub-interpreters: it is already loaded in another interpreter of this process"
)


def test_import_after_removal_from_sys_modules_returns_the_same_object():
    original = sys.modules["quorrel"]
    for _ in range(3):
        del sys.modules["quorrel"]
        again = importlib.import_module("quorrel")
        assert again is original
        assert sys.modules["quorrel"] is original
    assert again.receipts_for_bytes is original.receipts_for_bytes


def test_calling_the_init_function_again_returns_the_same_object():
    library = ctypes.PyDLL(quorrel.__file__)
    library.PyInit_quorrel.restype = ctypes.py_object
    library.PyInit_quorrel.argtypes = []
    before = sys.getrefcount(quorrel)
    assert library.PyInit_quorrel() is quorrel
    assert sys.getrefcount(quorrel) == before


def _run_in_subinterpreter(code):
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interpreter = interpreters.create()
    try:
        interpreters.run_string(interpreter, code)
    finally:
        interpreters.destroy(interpreter)


def test_a_second_interpreter_cannot_initialise_the_module():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    folder = os.path.dirname(quorrel.__file__)
    code = f"import sys\nsys.path.insert(0, {folder!r})\nimport quorrel\n"
    with pytest.raises(interpreters.RunFailedError) as caught:
        _run_in_subinterpreter(code)
    assert str(caught.value) == f"<class 'ImportError'>: {SUBINTERPRETER_REFUSAL}"
    # A refused attempt leaves the module of this interpreter as it was.
    del sys.modules["quorrel"]
    assert importlib.import_module("quorrel") is quorrel
    assert quorrel.verify_bytes("", b"<xbrl/>") == '{"fail":0,"failures":[],"pass":0}'


def test_a_second_interpreter_is_refused_every_time():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    folder = os.path.dirname(quorrel.__file__)
    code = (
        f"import sys\nsys.path.insert(0, {folder!r})\n"
        "for _ in range(2):\n"
        "    try:\n"
        "        import quorrel\n"
        "    except ImportError as error:\n"
        f"        assert str(error) == {SUBINTERPRETER_REFUSAL!r}, str(error)\n"
        "    else:\n"
        "        raise AssertionError('imported in a second interpreter')\n"
    )
    _run_in_subinterpreter(code)
    assert interpreters.get_current() == interpreters.get_main()
