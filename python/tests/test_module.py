"""The module as a Python program sees it: names, signatures, binding,
argument conversion, exceptions, the exact text verify_bytes gives, one
module object per process, and no thread started by either function."""

import ast
import copy
import ctypes
import importlib
import inspect
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quorrel
import receipt_json as rj

STUB = Path(__file__).resolve().parents[1] / "quorrel.pyi"
EMPTY = '{"fail":0,"failures":[],"pass":0}'
TINY = (
    b'<xbrl xmlns="http://www.xbrl.org/2003/instance" xmlns:ex="http://example.com/ex">'
    b'<context id="c1"><entity><identifier scheme="http://example.com">X</identifier></entity>'
    b'<period><instant>2024-12-31</instant></period></context><unit id="u1"><measure>iso4217:USD</measure></unit>'
    b'<ex:Revenue contextRef="c1" unitRef="u1" decimals="0">1200</ex:Revenue>'
    b'<ex:Cost contextRef="c1" unitRef="u1" decimals="INF">7</ex:Cost></xbrl>'
)


def outcome(call):
    """("returned", value), or the exception's type, text and the text it could not encode, if any."""
    try:
        return ("returned", call())
    except Exception as error:
        return (type(error), str(error), getattr(error, "object", None))


B, S = type("B", (bytes,), {}), type("S", (str,), {})  # subclasses of the argument types


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


def _reference_receipts_for_bytes(source_bytes, doc_id, uri, authority=None): ...
def _reference_verify_bytes(receipts_jsonl, source_bytes): ...


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
    plain, authority = quorrel.receipts_for_bytes(TINY, "d", "u"), quorrel.receipts_for_bytes(TINY, "d", "u", "a")
    assert plain.count("\n") == 2
    assert quorrel.receipts_for_bytes(authority=None, uri="u", source_bytes=TINY, doc_id="d") == plain
    assert quorrel.receipts_for_bytes(B(TINY), S("d"), S("u"), S("a")) == authority
    assert quorrel.verify_bytes(S(plain), B(TINY)) == '{"fail":0,"failures":[],"pass":2}'
    assert quorrel.verify_bytes(source_bytes=TINY, receipts_jsonl="") == EMPTY


def test_the_summary_text_is_exact_and_the_first_unreadable_line_raises_its_message():
    stated = rj.lines(quorrel.receipts_for_bytes(TINY, "doc", "urn:source"))
    one = copy.deepcopy(stated[0])
    one["claim"]["value"] = 'x"\\\x01\t/\u00e9'
    one["evidence"][0]["locator"]["byte_range"] = None
    start, end = TINY.index(b"<ex:Revenue "), TINY.index(b"</ex:Revenue>") + len(b"</ex:Revenue>")
    # Keys sorted, texts escaped.
    assert quorrel.verify_bytes(rj.line(rj.sealed(one)) + "\n" + rj.line(stated[1]), TINY) == (
        '{"fail":1,"failures":[{"checks":[{"name":"receipt_id","pass":true},{"name":"evidence_shape","pass":true},'
        '{"name":"artifact_hash","pass":true},{"name":"locate","pass":true},'
        f'{{"detail":"recorded None, re-parsed Some(({start}, {end}))","name":"byte_range","pass":false}},'
        '{"detail":"claimed x\\"\\\\\\u0001\\t/\u00e9, source has 1200","name":"value_match","pass":false}'
        f'],"receipt_id":"{one["receipt_id"]}","status":"failed"}}],"pass":1}}'
    )
    # Columns are counted in bytes of the unreadable line.
    one, two = (rj.line(r) for r in stated)
    cases = {
        f"{one}\n\ufeff\n{two}": "expected value at line 1 column 1",  # a byte-order mark is no white space
        f"{one.replace('1200', '1201')}\n#\n{{}}": "expected value at line 1 column 1",  # before any check
        f"{two}\u3000\n": f"trailing characters at line 1 column {len(two.encode()) + 1}",
    }
    for text, message in cases.items():
        with pytest.raises(ValueError) as caught:
            quorrel.verify_bytes(text, TINY)
        assert str(caught.value) == message, repr(text)


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


COUNTER = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
static long created;
long quorrel_test_threads_created(void) { return created; }
int pthread_create(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg) {
  static int (*next)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  if (!next) next = dlsym(RTLD_NEXT, "pthread_create");
  __atomic_add_fetch(&created, 1, __ATOMIC_SEQ_CST);
  return next(t, a, f, arg);
}
"""

CHILD = textwrap.dedent("""
    import ctypes, sys, threading
    import quorrel
    counter = ctypes.CDLL(sys.argv[1]).quorrel_test_threads_created
    facts = "".join(
        f'<x:F{i % 97} contextRef="c{i % 50}" unitRef="u" decimals="0">{i * 7919}</x:F{i % 97}>'
        for i in range(30000))
    contexts = "".join(
        f'<context id="c{i}"><entity><identifier scheme="s">e</identifier></entity>'
        f'<period><instant>2024-12-31</instant></period></context>' for i in range(50))
    source = ('<xbrl xmlns="http://www.xbrl.org/2003/instance" xmlns:x="http://x">' + contexts +
              '<unit id="u"><measure>iso4217:EUR</measure></unit>' + facts + '</xbrl>').encode()
    assert len(source) > 1 << 20
    before = counter()
    receipts = quorrel.receipts_for_bytes(source, "d", "u")
    summary = quorrel.verify_bytes(receipts, source)
    during = counter() - before
    assert receipts.count("\\n") == 30000 and summary.endswith('"pass":30000}'), summary[:200]
    threading.Thread(target=lambda: None).start()
    print(during, counter() - before - during)
""")


def test_no_thread_is_started_during_either_call(tmp_path):
    # A pthread_create interposed with LD_PRELOAD counts every thread the process
    # starts while both functions run on a large filing; one the child starts
    # itself afterwards proves the counter sees threads at all.
    shim = tmp_path / "thread_counter.so"
    (tmp_path / "thread_counter.c").write_text(COUNTER)
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", str(shim), str(tmp_path / "thread_counter.c"), "-ldl"],
                   check=True)
    env = dict(os.environ)
    # The counter comes first, so that under the sanitizers' preloaded runtimes
    # it still sees every call before they do.
    env["LD_PRELOAD"] = " ".join(filter(None, [str(shim), env.get("LD_PRELOAD", "").replace(":", " ")]))
    env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
    run = subprocess.run([sys.executable, "-c", CHILD, str(shim)], env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["0", "1"]
