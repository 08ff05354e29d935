"""Differential test of the C++ decimals against an exact oracle.

The oracle below computes every result with fractions.Fraction and applies the
decimal rules (representation limits, rounding, scales, signs of zeros) on its
own. The C++ side is the test calculator built beside the libraries
(core/decimal_calc), which reads one operation per line. Results must match
digit for digit, so the scale and the sign of zeros are checked too.
"""

import os
import random
import re
import subprocess
from fractions import Fraction
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
LIMIT = 2**96
MAX_SCALE = 28
DIGITS = "0123456789"


def calculator() -> Path:
    build = os.environ.get("QUORREL_BUILD_DIR")
    path = Path(build) / "core" / "decimal_calc" if build else ROOT / "build" / "release" / "core" / "decimal_calc"
    if not path.is_file():
        pytest.skip("the decimal_calc test program is not built")
    return path


def run(lines):
    out = subprocess.run(
        [str(calculator())], input="".join(line + "\n" for line in lines),
        capture_output=True, text=True, check=True, timeout=300,
    ).stdout.split("\n")
    assert out[-1] == ""
    assert len(out) - 1 == len(lines)
    return out[:-1]


# ---------------------------------------------------------------- the oracle
# A decimal is (negative, mantissa, scale).


def render(d):
    neg, m, s = d
    digits = str(m).rjust(s + 1, "0")
    text = digits[: len(digits) - s] + ("." + digits[len(digits) - s:] if s else "")
    return ("-" if neg else "") + text


def value(d):
    neg, m, s = d
    v = Fraction(m, 10**s)
    return -v if neg else v


def round_half_even(x: Fraction) -> int:
    q, r = divmod(x.numerator, x.denominator)
    if 2 * r > x.denominator or (2 * r == x.denominator and q % 2 == 1):
        q += 1
    return q


def fit(magnitude: Fraction, max_scale: int, neg: bool):
    """The most fractional digits (at most max_scale) whose rounded mantissa fits."""
    for s in range(max_scale, -1, -1):
        m = round_half_even(magnitude * 10**s)
        if m < LIMIT:
            return (neg, m, s)
    return None


def o_add(a, b):
    v = value(a) + value(b)
    neg = (a[0] and b[0]) if v == 0 else v < 0
    return fit(abs(v), max(a[2], b[2]), neg)


def o_sub(a, b):
    return o_add(a, (not b[0], b[1], b[2]))


def o_mul(a, b):
    return fit(abs(value(a) * value(b)), min(a[2] + b[2], MAX_SCALE), a[0] != b[0])


def o_div(a, b):
    if b[1] == 0:
        return None
    q = abs(value(a) / value(b))
    r = fit(q, MAX_SCALE, a[0] != b[0])
    if r is None:
        return None
    neg, m, s = r
    if Fraction(m, 10**s) == q:  # exact: keep only the digits it needs
        preferred = max(a[2] - b[2], 0)
        while s > preferred and m % 10 == 0:
            m, s = m // 10, s - 1
    return (neg, m, s)


def o_round(a, n):
    neg, m, s = a
    if s <= n:
        return a
    unit = 10 ** (s - n)
    q, r = divmod(m, unit)
    if 2 * r >= unit:
        q += 1
    return (neg and q != 0, q, n)


def o_normalize(a):
    neg, m, s = a
    if m == 0:
        return (False, 0, 0)
    while s > 0 and m % 10 == 0:
        m, s = m // 10, s - 1
    return (neg, m, s)


def o_cmp(a, b):
    d = value(a) - value(b)
    return (d > 0) - (d < 0)


def o_parse_plain(text):
    if text == "":
        return None
    i, neg = 0, False
    if text[0] in "+-":
        neg, i = text[0] == "-", 1
        if i == len(text) or text[i] not in DIGITS + ".":
            return None
    whole, frac = "", ""
    seen_point = seen_digit = False
    while i < len(text):
        c = text[i]
        if c in DIGITS:
            seen_digit = True
            if not seen_point:
                whole += c
                if int(whole) >= LIMIT:
                    return None
            elif len(frac) < MAX_SCALE and int(whole + frac + c) < LIMIT:
                frac += c
            else:  # the deciding digit; the rest is ignored unless it completes an exponent
                if re.fullmatch(r"[0-9_]*[eE][+-]?[0-9]+", text[i + 1:]):
                    return None
                m, s = int(whole + frac or "0"), len(frac)
                if c >= "5":
                    m += 1
                if m == LIMIT:
                    if s == 0:
                        return None
                    m, s = round_half_even(Fraction(m, 10)), s - 1
                return (neg, m, s)
        elif c == ".":
            if seen_point:
                return None
            seen_point = True
        elif c != "_" or not seen_digit:
            return None
        i += 1
    if not seen_digit:
        return None
    return (neg, int(whole + frac or "0"), len(frac))


def o_parse(text):
    plain = o_parse_plain(text)
    if plain is not None:
        return plain
    cut = [i for i, c in enumerate(text) if c in "eE"]
    if not cut:
        return None
    base, exponent = o_parse_plain(text[: cut[0]]), text[cut[0] + 1:]
    body = exponent[1:] if exponent[:1] in ("+", "-") else exponent
    if base is None or body == "" or any(c not in DIGITS for c in body):
        return None
    neg, m, s = base
    x = int(exponent)
    if x < -1000:  # far below the smallest unit
        return (neg, 0, MAX_SCALE)
    if x > 1000:
        return (neg, 0, 0) if m == 0 else None
    if x <= 0:
        if s - x <= MAX_SCALE:
            return (neg, m, s - x)
        return (neg, round_half_even(Fraction(m, 10 ** (s - x - MAX_SCALE))), MAX_SCALE)
    if x <= s:
        return (neg, m, s - x)
    m *= 10 ** (x - s)
    return (neg, m, 0) if m < LIMIT else None


# ---------------------------------------------------------------- generators


def mantissa(rng):
    kind = rng.randrange(9)
    if kind == 0:
        return rng.randrange(0, 1000)
    if kind == 1:
        return rng.getrandbits(rng.randint(1, 96))
    if kind == 2:
        return LIMIT - 1 - rng.randrange(0, 1000)
    if kind == 3:
        return min(10 ** rng.randint(0, 28) + rng.choice((-1, 0, 1)), LIMIT - 1)
    if kind == 4:  # values that make ties
        return rng.choice((5, 15, 25, 125, 625, 3125)) * 10 ** rng.randint(0, 20)
    if kind == 5:
        return rng.randrange(LIMIT // 10, LIMIT)
    if kind == 6:
        return rng.getrandbits(64)
    if kind == 7:
        return rng.choice((1, 2, 3, 4, 7, 8, 9, 10, 16, 100, 2**64 - 1, 2**64, 2**64 + 1, LIMIT // 2))
    return 0


def operand(rng):
    m = mantissa(rng)
    s = rng.choice((0, 0, MAX_SCALE, 1, 27, rng.randint(0, MAX_SCALE), rng.randint(0, MAX_SCALE)))
    return (rng.random() < 0.4, m, s)


def arithmetic_cases(seed, count):
    rng = random.Random(seed)
    lines, expected = [], []
    for _ in range(count):
        a, b = operand(rng), operand(rng)
        for op, fn in (("add", o_add), ("sub", o_sub), ("mul", o_mul), ("div", o_div)):
            lines.append(f"{op} {render(a)} {render(b)}")
            r = fn(a, b)
            expected.append("overflow" if r is None else render(r))
        n = rng.randint(0, 30)
        lines.append(f"round {render(a)} {n}")
        expected.append(render(o_round(a, n)))
        lines.append(f"normalize {render(a)}")
        expected.append(render(o_normalize(a)))
        lines.append(f"cmp {render(a)} {render(b)}")
        expected.append(str(o_cmp(a, b)))
    return lines, expected


def digit_run(rng, lo, hi):
    return "".join(rng.choice(DIGITS) for _ in range(rng.randint(lo, hi)))


def parse_text(rng):
    kind = rng.randrange(6)
    if kind == 0:  # random characters from the grammar's alphabet
        return "".join(rng.choice("0123456789._+-eE5") for _ in range(rng.randint(0, 12)))
    if kind == 1:  # near the mantissa limit, with fractional digits that may not fit
        whole = str(rng.choice((LIMIT - 1, LIMIT, LIMIT // 10, LIMIT // 10 - 1, rng.randrange(LIMIT))))
        whole = whole[: rng.randint(1, len(whole))] if rng.random() < 0.3 else whole
        return whole + rng.choice(("", ".")) + digit_run(rng, 0, 6) + rng.choice(("", "x", "..", "e5"))
    if kind == 2:  # 27 to 31 fractional digits, sometimes with trailing junk
        text = rng.choice(("0", "9", "", "12345")) + "." + digit_run(rng, 27, 31)
        if rng.random() < 0.3:
            text = "0." + "9" * rng.randint(27, 31)
        return rng.choice(("", "-", "+")) + text + rng.choice(("", "", "abc", "_", "1.2", "e-3"))
    if kind == 3:  # exponent forms
        mant = rng.choice(("", "-", "+")) + digit_run(rng, 0, 30) + rng.choice(("", ".")) + digit_run(rng, 0, 30)
        exp = rng.choice(("", "+", "-")) + rng.choice((str(rng.randint(0, 60)), digit_run(rng, 0, 3), "99999999999999999999"))
        return mant + rng.choice("eE") + exp
    if kind == 4:  # underscores
        parts = [digit_run(rng, 0, 4) for _ in range(rng.randint(1, 4))]
        text = "_".join(parts)
        if rng.random() < 0.5:
            cut = rng.randint(0, len(text))
            text = text[:cut] + "." + text[cut:]
        return rng.choice(("", "-", "+")) + text
    return rng.choice(("", "-")) + digit_run(rng, 1, 35) + "." + digit_run(rng, 0, 35)


FIXED_PARSE_TEXTS = [
    "", "-", "+", ".", "-.", "+.5", ".5", "5.", "-0", "-0.000", "1_000", "_1", "+_1", "._5", "1._5",
    "1__0", "1_", "7-", "7+", "1.2.3", " 1", "1 ", "1e3", "25E-1", "1e", "e5", "1e+", "1e5_0", "1e5e5",
    "79228162514264337593543950335", "79228162514264337593543950336", "79228162514264337593543950335.5",
    "79228162514264337593543950335.4", "7922816251426433759354395033.55", "7922816251426433759354395033.6",
    "0.1234567890123456789012345678", "0.12345678901234567890123456785", "0.12345678901234567890123456785zz",
    "0.99999999999999999999999999995", "9.9999999999999999999999999999e-1", "99999e-32", "25e-29", "35e-29",
    "1e-99999999999999999999", "-1e-29", "0e99999999999999999999", "1e29", "7.9228162514264337593543950335e28",
    "7.9228162514264337593543950336e28", "1.0000000000000000000000000000e28", "0.000e2", "5E+0",
]


def compare(lines, expected):
    got = run(lines)
    bad = [f"{line!r}: got {g!r}, expected {e!r}" for line, g, e in zip(lines, got, expected) if g != e]
    assert not bad, f"{len(bad)} mismatches, first ones:\n" + "\n".join(bad[:20])


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_arithmetic_matches_exact_oracle(seed):
    lines, expected = arithmetic_cases(seed, 4000)
    compare(lines, expected)


@pytest.mark.parametrize("seed", [11, 12])
def test_parse_matches_oracle(seed):
    rng = random.Random(seed)
    texts = FIXED_PARSE_TEXTS + [parse_text(rng) for _ in range(15000)]
    texts = [t for t in texts if "\n" not in t]
    lines = [f"parse {t}" for t in texts]
    expected = []
    for t in texts:
        r = o_parse(t)
        expected.append("invalid" if r is None else render(r))
    compare(lines, expected)


def test_oracle_agrees_with_the_documented_examples():
    # Guards the oracle itself, so that agreement with it means something.
    d = o_parse
    assert render(o_div(d("1"), d("3"))) == "0.3333333333333333333333333333"
    assert render(o_div(d("2"), d("3"))) == "0.6666666666666666666666666667"
    assert render(o_div(d("1"), d("4"))) == "0.25"
    assert render(o_div(d("1500"), d("10"))) == "150"
    assert render(o_round(d("0.125"), 2)) == "0.13"
    assert render(o_round(d("-0.125"), 2)) == "-0.13"
    assert render(o_normalize(d("120.50"))) == "120.5"
    assert render(d("0.12345678901234567890123456785abc")) == "0.1234567890123456789012345679"
    assert d("79228162514264337593543950336") is None
    assert render(d("1e3")) == "1000"
    assert render(d("25E-1")) == "2.5"
