"""The module as a Python program sees it: names, signatures, binding,
argument conversion and the mapping of errors to exceptions."""

import ast
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quorrel

STUB = Path(__file__).resolve().parents[1] / "quorrel.pyi"

RECEIPTS_DOC = (
    "Build evidence receipts for every numeric fact in an XBRL instance.\n"
    "Returns JSONL (one receipt per line)."
)
VERIFY_DOC = (
    "Verify receipts (JSONL) against source bytes. Returns a JSON summary:\n"
    '{"pass": n, "fail": n, "failures": [reports...]}.'
)
EMPTY_SUMMARY = '{"fail":0,"failures":[],"pass":0}'

TINY_INSTANCE = (
    b'<?xml version="1.0" encoding="UTF-8"?>\n'
    b'<xbrl xmlns="http://www.xbrl.org/2003/instance" xmlns:ex="http://example.com/ex">'
    b'<context id="c1"><entity><identifier scheme="http://example.com">X</identifier></entity>'
    b"<period><instant>2024-12-31</instant></period></context>"
    b'<unit id="u1"><measure>iso4217:USD</measure></unit>'
    b'<ex:Revenue contextRef="c1" unitRef="u1" decimals="0">1200</ex:Revenue>'
    b"</xbrl>"
)


def outcome(call):
    """The exception type and message a call ends with (or its result)."""
    try:
        return ("returned", call())
    except Exception as error:
        return (type(error), str(error))


class B(bytes):
    pass


class S(str):
    pass


# --- the module object ---------------------------------------------------------


def test_module_holds_exactly_the_two_functions_and_an_empty_docstring():
    assert quorrel.__doc__ == ""
    assert sorted(n for n in dir(quorrel) if not n.startswith("__")) == ["receipts_for_bytes", "verify_bytes"]
    dunders = {n for n in dir(quorrel) if n.startswith("__")}
    assert dunders <= {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}
    assert list(k for k in vars(quorrel) if not k.startswith("__")) == ["receipts_for_bytes", "verify_bytes"]


@pytest.mark.parametrize(
    "function, signature, doc",
    [
        (quorrel.receipts_for_bytes, "(source_bytes, doc_id, uri, authority=None)", RECEIPTS_DOC),
        (quorrel.verify_bytes, "(receipts_jsonl, source_bytes)", VERIFY_DOC),
    ],
)
def test_functions_carry_their_text_signature_and_docstring(function, signature, doc):
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert function.__module__ == "quorrel"
    assert str(inspect.signature(function)) == signature
    kinds = {p.kind for p in inspect.signature(function).parameters.values()}
    assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


def test_stub_matches_the_runtime_signatures_and_docstrings():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    functions = [node for node in tree.body if isinstance(node, ast.FunctionDef)]
    assert [f.name for f in functions] == ["receipts_for_bytes", "verify_bytes"]
    assert len(functions) == len(tree.body)
    for stub in functions:
        runtime = getattr(quorrel, stub.name)
        names = [a.arg for a in stub.args.args]
        defaults = [None] * (len(names) - len(stub.args.defaults)) + [ast.unparse(d) for d in stub.args.defaults]
        rendered = ", ".join(n if d is None else f"{n}={d}" for n, d in zip(names, defaults))
        assert f"({rendered})" == runtime.__text_signature__
        assert not stub.args.posonlyargs and not stub.args.kwonlyargs
        assert ast.get_docstring(stub) == runtime.__doc__


# --- binding -------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: quorrel.receipts_for_bytes(b"", "d"), "receipts_for_bytes() missing 1 required positional argument: 'uri'"),
        (
            lambda: quorrel.receipts_for_bytes(authority="a"),
            "receipts_for_bytes() missing 3 required positional arguments: 'source_bytes', 'doc_id', and 'uri'",
        ),
        (
            lambda: quorrel.receipts_for_bytes(b"", "d", "u", None, None),
            "receipts_for_bytes() takes from 3 to 4 positional arguments but 5 were given",
        ),
        (
            lambda: quorrel.receipts_for_bytes(b"", "d", "u", None, authority=None),
            "receipts_for_bytes() got multiple values for argument 'authority'",
        ),
        (
            lambda: quorrel.verify_bytes(),
            "verify_bytes() missing 2 required positional arguments: 'receipts_jsonl' and 'source_bytes'",
        ),
        (lambda: quorrel.verify_bytes("", b"", b""), "verify_bytes() takes 2 positional arguments but 3 were given"),
        # The keyword is named even when the total count is also too high.
        (lambda: quorrel.verify_bytes("", b"", authority=None), "verify_bytes() got an unexpected keyword argument 'authority'"),
        (
            lambda: quorrel.verify_bytes(**{"source_bytes": b"", "\ud800": 1}),
            "verify_bytes() got an unexpected keyword argument '\ud800'",
        ),
        # Binding is checked before any conversion.
        (lambda: quorrel.verify_bytes(1, 2, 3), "verify_bytes() takes 2 positional arguments but 3 were given"),
    ],
)
def test_binding_errors_name_the_function_and_parameter(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def _reference_receipts_for_bytes(source_bytes, doc_id, uri, authority=None):
    pass


def _reference_verify_bytes(receipts_jsonl, source_bytes):
    pass


_VALUES = {"source_bytes": b"<a/>", "doc_id": "d", "uri": "u", "authority": None, "receipts_jsonl": "", "extra": 1}


@pytest.mark.parametrize(
    "function, reference, positional_values",
    [
        (quorrel.receipts_for_bytes, _reference_receipts_for_bytes, [b"<a/>", "d", "u", None, None]),
        (quorrel.verify_bytes, _reference_verify_bytes, ["", b"<a/>", None]),
    ],
)
def test_binding_agrees_with_a_python_function_of_the_same_signature(function, reference, positional_values):
    keyword_pool = list(inspect.signature(reference).parameters) + ["extra"]
    for count in range(len(positional_values) + 1):
        for mask in range(1 << len(keyword_pool)):
            keywords = {k: _VALUES[k] for i, k in enumerate(keyword_pool) if mask >> i & 1}
            args = positional_values[:count]
            try:
                reference(*args, **keywords)
                expected = None
            except TypeError as error:
                expected = str(error).replace("_reference_", "")
            got = outcome(lambda: function(*args, **keywords))
            if expected is None:
                assert got[0] is not TypeError, (args, keywords, got)
            else:
                assert got == (TypeError, expected), (args, keywords)


def test_keyword_binding_in_any_order_matches_positional_binding():
    positional = outcome(lambda: quorrel.receipts_for_bytes(b"<a/>", "doc", "uri", "auth"))
    keywords = outcome(lambda: quorrel.receipts_for_bytes(authority="auth", uri="uri", source_bytes=b"<a/>", doc_id="doc"))
    assert keywords == positional
    assert positional == ("returned", "")
    assert outcome(lambda: quorrel.verify_bytes(source_bytes=TINY_INSTANCE, receipts_jsonl="")) == (
        "returned",
        EMPTY_SUMMARY,
    )


def test_authority_none_and_omitted_are_the_same_and_empty_text_is_accepted():
    omitted = outcome(lambda: quorrel.receipts_for_bytes(b"<a/>", "doc", "uri"))
    assert outcome(lambda: quorrel.receipts_for_bytes(b"<a/>", "doc", "uri", None)) == omitted
    assert outcome(lambda: quorrel.receipts_for_bytes(b"<a/>", "doc", "uri", authority=None)) == omitted
    assert outcome(lambda: quorrel.receipts_for_bytes(b"<a/>", "doc", "uri", authority="")) == omitted


# --- conversion ----------------------------------------------------------------


def _conversion(parameter, type_name, target):
    return f"argument '{parameter}': '{type_name}' object cannot be converted to '{target}'"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: quorrel.receipts_for_bytes(bytearray(b"x"), "d", "u"), _conversion("source_bytes", "bytearray", "PyBytes")),
        (lambda: quorrel.receipts_for_bytes(memoryview(b"x"), "d", "u"), _conversion("source_bytes", "memoryview", "PyBytes")),
        (lambda: quorrel.receipts_for_bytes("<a/>", "d", "u"), _conversion("source_bytes", "str", "PyBytes")),
        (lambda: quorrel.receipts_for_bytes(b"", 1, "u"), _conversion("doc_id", "int", "PyString")),
        (lambda: quorrel.receipts_for_bytes(b"", None, "u"), _conversion("doc_id", "NoneType", "PyString")),
        (lambda: quorrel.receipts_for_bytes(b"", "d", b"u"), _conversion("uri", "bytes", "PyString")),
        (lambda: quorrel.receipts_for_bytes(b"", "d", "u", b"a"), _conversion("authority", "bytes", "PyString")),
        (lambda: quorrel.receipts_for_bytes(b"", "d", "u", authority=0), _conversion("authority", "int", "PyString")),
        (lambda: quorrel.receipts_for_bytes(B(), "d", "u", authority=B()), _conversion("authority", "B", "PyString")),
        (lambda: quorrel.verify_bytes(b"", b""), _conversion("receipts_jsonl", "bytes", "PyString")),
        (lambda: quorrel.verify_bytes("", bytearray()), _conversion("source_bytes", "bytearray", "PyBytes")),
        (lambda: quorrel.verify_bytes(source_bytes=S(), receipts_jsonl=""), _conversion("source_bytes", "S", "PyBytes")),
        # Parameters are converted in order: the first wrong one is reported.
        (lambda: quorrel.receipts_for_bytes(bytearray(), 1, 2, 3), _conversion("source_bytes", "bytearray", "PyBytes")),
        (lambda: quorrel.receipts_for_bytes(b"", "d", 2, 3), _conversion("uri", "int", "PyString")),
        (lambda: quorrel.verify_bytes(1, 2), _conversion("receipts_jsonl", "int", "PyString")),
    ],
)
def test_wrong_argument_types_raise_type_error_naming_parameter_and_type(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def test_subclasses_of_bytes_and_str_are_accepted():
    plain = outcome(lambda: quorrel.receipts_for_bytes(b"<a/>", "doc", "uri", authority="auth"))
    subclassed = outcome(lambda: quorrel.receipts_for_bytes(B(b"<a/>"), S("doc"), S("uri"), authority=S("auth")))
    assert subclassed == plain
    assert outcome(lambda: quorrel.verify_bytes(S("\n"), B(TINY_INSTANCE))) == ("returned", EMPTY_SUMMARY)
    receipts = quorrel.receipts_for_bytes(TINY_INSTANCE, "d", "u")
    assert quorrel.receipts_for_bytes(B(TINY_INSTANCE), S("d"), S("u")) == receipts
    assert quorrel.verify_bytes(S(receipts), B(TINY_INSTANCE)) == quorrel.verify_bytes(receipts, TINY_INSTANCE)


@pytest.mark.parametrize(
    "call, bad",
    [
        (lambda: quorrel.receipts_for_bytes(b"", "a\ud800", "u"), "a\ud800"),
        (lambda: quorrel.receipts_for_bytes(b"", "d", "\udfff"), "\udfff"),
        (lambda: quorrel.receipts_for_bytes(b"", "d", "u", authority="\ud800"), "\ud800"),
        (lambda: quorrel.verify_bytes("\ud83d", b""), "\ud83d"),
        # doc_id comes before uri, so its encoding error wins over the later type error
        (lambda: quorrel.receipts_for_bytes(b"", "\ud800", 5), "\ud800"),
    ],
)
def test_lone_surrogates_raise_the_interpreters_unicode_encode_error(call, bad):
    with pytest.raises(UnicodeEncodeError) as caught:
        call()
    error = caught.value
    assert type(error) is UnicodeEncodeError
    assert (error.encoding, error.object, error.reason) == ("utf-8", bad, "surrogates not allowed")
    position = len(bad) - 1
    assert (error.start, error.end) == (position, position + 1)
    assert str(error) == (
        f"'utf-8' codec can't encode character {bad[-1]!r} in position {position}: surrogates not allowed"
    )


def test_non_ascii_text_arguments_are_accepted():
    plain = outcome(lambda: quorrel.receipts_for_bytes(b"<a/>", "doc", "uri"))
    assert outcome(lambda: quorrel.receipts_for_bytes(b"<a/>", "d\u00e9\U0001f600", "\u00fcri", "\u4e2d")) == plain
    receipts = quorrel.receipts_for_bytes(TINY_INSTANCE, "d\u00e9\U0001f600", "\u00fcri", "\u4e2d")
    assert '"doc_id":"d\u00e9\U0001f600"' in receipts and '"authority":"\u4e2d"' in receipts
    assert '"fail":0' in quorrel.verify_bytes(receipts, TINY_INSTANCE)


# --- error mapping ---------------------------------------------------------------


def test_parse_failures_are_value_errors_with_the_rendered_text():
    with pytest.raises(ValueError) as caught:
        quorrel.receipts_for_bytes(b"</xbrl>", "doc", "uri")
    assert type(caught.value) is ValueError
    assert not str(caught.value).startswith("source parse failed")


@pytest.mark.parametrize(
    "source, message",
    [
        (b"</xbrl>", "XML parse error at byte None: unexpected closing tag xbrl"),
        # The message keeps an embedded NUL and everything after it.
        (b"</x\x00y>", "XML parse error at byte None: unexpected closing tag x\x00y"),
    ],
)
def test_parse_error_text_arrives_without_prefix(source, message):
    with pytest.raises(ValueError) as caught:
        quorrel.receipts_for_bytes(source, "doc", "uri")
    assert str(caught.value) == message


def test_verify_bytes_reports_a_bad_source_before_reading_receipts():
    with pytest.raises(ValueError) as caught:
        quorrel.verify_bytes("not json", b"</xbrl>")
    assert str(caught.value) == "source parse failed: XML parse error at byte None: unexpected closing tag xbrl"


def test_repeated_calls_give_equal_results():
    first = outcome(lambda: quorrel.receipts_for_bytes(b"</xbrl>", "doc", "uri"))
    assert outcome(lambda: quorrel.receipts_for_bytes(b"</xbrl>", "doc", "uri")) == first


_MEMORY_SCRIPT = r"""
import resource, sys
import quorrel

authority = "a" * (256 << 20)
with open("/proc/self/statm") as statm:
    mapped = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (mapped + (16 << 20), resource.RLIM_INFINITY))
try:
    quorrel.receipts_for_bytes(b"<a/>", "doc", "uri", authority)
except MemoryError as error:
    print("MemoryError", repr(str(error)))
except BaseException as error:
    print("other", type(error).__name__, error)
else:
    print("returned")
"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="address limits break the sanitizer runtime")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")
def test_memory_exhaustion_inside_a_call_becomes_memory_error():
    # The owned copy of a 256 MiB authority cannot be allocated under the limit.
    run = subprocess.run([sys.executable, "-c", _MEMORY_SCRIPT], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "MemoryError ''\n"
