"""The module as a Python program sees it: names, signatures, binding,
argument conversion, exceptions, and one module object per process."""

import ast
import ctypes
import importlib
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quorrel

STUB = Path(__file__).resolve().parents[1] / "quorrel.pyi"
EMPTY = '{"fail":0,"failures":[],"pass":0}'
TINY = (
    b'<xbrl xmlns="http://www.xbrl.org/2003/instance" xmlns:ex="http://example.com/ex">'
    b'<context id="c1"><entity><identifier scheme="http://example.com">X</identifier></entity>'
    b'<period><instant>2024-12-31</instant></period></context><unit id="u1"><measure>iso4217:USD</measure></unit>'
    b'<ex:Revenue contextRef="c1" unitRef="u1" decimals="0">1200</ex:Revenue></xbrl>'
)


def outcome(call):
    """("returned", value), or the exception's type, text and the text it could not encode, if any."""
    try:
        return ("returned", call())
    except Exception as error:
        return (type(error), str(error), getattr(error, "object", None))


class B(bytes):
    pass


class S(str):
    pass


def test_the_module_holds_the_two_functions_of_the_stub():
    assert quorrel.__doc__ == ""
    assert [k for k in vars(quorrel) if not k.startswith("__")] == ["receipts_for_bytes", "verify_bytes"]
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    assert [f.name for f in tree.body] == ["receipts_for_bytes", "verify_bytes"]
    for stub in tree.body:
        runtime = getattr(quorrel, stub.name)
        names = [a.arg for a in stub.args.args]
        defaults = [None] * (len(names) - len(stub.args.defaults)) + [ast.unparse(d) for d in stub.args.defaults]
        rendered = "(" + ", ".join(n if d is None else f"{n}={d}" for n, d in zip(names, defaults)) + ")"
        assert runtime.__text_signature__ == rendered == str(inspect.signature(runtime))
        assert runtime.__doc__ == ast.get_docstring(stub) and runtime.__doc__.startswith(("Build", "Verify"))
        assert runtime.__module__ == "quorrel"


def _reference_receipts_for_bytes(source_bytes, doc_id, uri, authority=None):
    pass


def _reference_verify_bytes(receipts_jsonl, source_bytes):
    pass


_VALUES = {"source_bytes": b"<a/>", "doc_id": "d", "uri": "u", "authority": None, "receipts_jsonl": "", "extra": 1}


@pytest.mark.parametrize(
    "function, reference, positional",
    [
        (quorrel.receipts_for_bytes, _reference_receipts_for_bytes, [b"<a/>", "d", "u", None, None]),
        (quorrel.verify_bytes, _reference_verify_bytes, ["", b"<a/>", None]),
    ],
)
def test_binding_agrees_with_a_python_function_of_the_same_signature(function, reference, positional):
    # Every mix of positional counts and keywords (an unknown one included)
    # gives the interpreter's own TypeError text, or binds.
    pool = list(inspect.signature(reference).parameters) + ["extra"]
    for count in range(len(positional) + 1):
        for mask in range(1 << len(pool)):
            keywords = {k: _VALUES[k] for i, k in enumerate(pool) if mask >> i & 1}
            args = positional[:count]
            expected = outcome(lambda: reference(*args, **keywords))
            got = outcome(lambda: function(*args, **keywords))
            if expected[0] == "returned":
                assert got[0] is not TypeError, (args, keywords, got)
            else:
                assert got == (TypeError, expected[1].replace("_reference_", ""), None), (args, keywords)


def _conversion(parameter, type_name, target):
    return f"argument '{parameter}': '{type_name}' object cannot be converted to '{target}'"


def _surrogate(text):
    return UnicodeEncodeError("utf-8", text, len(text) - 1, len(text), "surrogates not allowed")


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: quorrel.verify_bytes(**{"source_bytes": b"", "\ud800": 1}),
         "verify_bytes() got an unexpected keyword argument '\ud800'"),
        # Binding is checked before any conversion.
        (lambda: quorrel.verify_bytes(1, 2, 3), "verify_bytes() takes 2 positional arguments but 3 were given"),
        (lambda: quorrel.receipts_for_bytes(bytearray(b"x"), "d", "u"),
         _conversion("source_bytes", "bytearray", "PyBytes")),
        (lambda: quorrel.receipts_for_bytes(memoryview(b"x"), "d", "u"),
         _conversion("source_bytes", "memoryview", "PyBytes")),
        (lambda: quorrel.receipts_for_bytes(b"", None, "u"), _conversion("doc_id", "NoneType", "PyString")),
        (lambda: quorrel.receipts_for_bytes(b"", "d", b"u"), _conversion("uri", "bytes", "PyString")),
        (lambda: quorrel.receipts_for_bytes(B(), "d", "u", authority=B()), _conversion("authority", "B", "PyString")),
        (lambda: quorrel.verify_bytes(b"", b""), _conversion("receipts_jsonl", "bytes", "PyString")),
        (lambda: quorrel.verify_bytes(source_bytes=S(), receipts_jsonl=""),
         _conversion("source_bytes", "S", "PyBytes")),
        # Parameters are converted in order: the first wrong one is reported.
        (lambda: quorrel.receipts_for_bytes(bytearray(), 1, 2, 3), _conversion("source_bytes", "bytearray", "PyBytes")),
        (lambda: quorrel.receipts_for_bytes(b"", "d", 2, 3), _conversion("uri", "int", "PyString")),
        # Library errors are ValueError with the rendered text, an embedded NUL and what follows included.
        (lambda: quorrel.receipts_for_bytes(b"</x\x00y>", "d", "u"),
         ValueError("XML parse error at byte None: unexpected closing tag x\x00y")),
        # The source is read before the receipts.
        (lambda: quorrel.verify_bytes("not json", b"</x>"),
         ValueError("source parse failed: XML parse error at byte None: unexpected closing tag x")),
        (lambda: quorrel.verify_bytes("not json", TINY), ValueError("expected ident at line 1 column 2")),
        # A lone surrogate raises the interpreter's own encoding error; doc_id comes before uri,
        # so its encoding error wins over the later type error.
        (lambda: quorrel.receipts_for_bytes(b"", "a\ud800", "u"), _surrogate("a\ud800")),
        (lambda: quorrel.receipts_for_bytes(b"", "d", "u", authority="\udfff"), _surrogate("\udfff")),
        (lambda: quorrel.verify_bytes("\ud83d", b""), _surrogate("\ud83d")),
        (lambda: quorrel.receipts_for_bytes(b"", "\ud800", 5), _surrogate("\ud800")),
    ],
)
def test_errors_raise_the_exact_exception_and_text(call, error):
    error = error if isinstance(error, Exception) else TypeError(error)
    assert outcome(call) == (type(error), str(error), getattr(error, "object", None))


def test_keywords_none_and_subclasses_bind_like_plain_positional_arguments():
    plain = quorrel.receipts_for_bytes(TINY, "d", "u")
    assert plain.count("\n") == 1
    assert quorrel.receipts_for_bytes(authority=None, uri="u", source_bytes=TINY, doc_id="d") == plain
    with_authority = quorrel.receipts_for_bytes(TINY, "d", "u", "a")
    assert quorrel.receipts_for_bytes(B(TINY), S("d"), S("u"), S("a")) == with_authority
    assert quorrel.verify_bytes(S(plain), B(TINY)) == '{"fail":0,"failures":[],"pass":1}'
    assert quorrel.verify_bytes(source_bytes=TINY, receipts_jsonl="") == EMPTY


_MEMORY_SCRIPT = r"""
import resource, quorrel
authority = "a" * (256 << 20)
with open("/proc/self/statm") as statm:
    mapped = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (mapped + (16 << 20), resource.RLIM_INFINITY))
try:
    quorrel.receipts_for_bytes(b"<a/>", "doc", "uri", authority)
except BaseException as error:
    print(type(error).__name__, repr(str(error)))
"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="address limits break the sanitizer runtime")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")
def test_memory_exhaustion_inside_a_call_becomes_memory_error():
    # The owned copy of a 256 MiB authority cannot be allocated under the limit.
    run = subprocess.run([sys.executable, "-c", _MEMORY_SCRIPT], capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stdout) == (0, "MemoryError ''\n"), run.stderr


def test_importing_or_initialising_again_gives_the_same_module_object():
    del sys.modules["quorrel"]
    assert importlib.import_module("quorrel") is quorrel
    library = ctypes.PyDLL(quorrel.__file__)
    library.PyInit_quorrel.restype = ctypes.py_object
    before = sys.getrefcount(quorrel)
    assert library.PyInit_quorrel() is quorrel
    assert sys.getrefcount(quorrel) == before


def test_a_second_interpreter_is_refused_every_time():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    refusal = "quorrel does not support sub-interpreters: it is already loaded in another interpreter of this process"
    code = (
        f"import sys\nsys.path.insert(0, {os.path.dirname(quorrel.__file__)!r})\n"
        "for _ in range(2):\n"
        "    try:\n        import quorrel\n"
        f"    except ImportError as error:\n        assert str(error) == {refusal!r}, str(error)\n"
        "    else:\n        raise AssertionError('imported in a second interpreter')\n"
    )
    interpreter = interpreters.create()
    try:
        interpreters.run_string(interpreter, code)
    finally:
        interpreters.destroy(interpreter)
    # The refusals leave the module of this interpreter as it was.
    assert quorrel.verify_bytes("", TINY) == EMPTY
