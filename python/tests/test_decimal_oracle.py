"""The C++ decimal arithmetic, through the test calculator core/decimal_calc,
against an exact oracle of its own on fractions.Fraction (96-bit mantissa, at
most 28 fractional digits, half-even rounding of inexact results, half-up
rounding to places, result scales, signs of zeros), digit for digit."""

import os
import random
import subprocess
from fractions import Fraction
from pathlib import Path

import pytest

LIMIT = 2**96
MAX_SCALE = 28


def run(lines):
    build = os.environ.get("QUORREL_BUILD_DIR") or Path(__file__).resolve().parents[2] / "build" / "release"
    calculator = Path(build) / "core" / "decimal_calc"
    if not calculator.is_file():
        pytest.skip("the decimal_calc test program is not built")
    out = subprocess.run([str(calculator)], input="".join(l + "\n" for l in lines), capture_output=True, text=True,
                         check=True, timeout=300).stdout
    return out.split("\n")[:-1]


# A decimal is (negative, mantissa, scale).
def render(d):
    neg, m, s = d
    digits = str(m).rjust(s + 1, "0")
    return ("-" if neg else "") + digits[: len(digits) - s] + ("." + digits[len(digits) - s:] if s else "")


def value(d):
    return Fraction(-d[1] if d[0] else d[1], 10 ** d[2])


def half_even(x):
    q, r = divmod(x.numerator, x.denominator)
    return q + (2 * r > x.denominator or (2 * r == x.denominator and q % 2 == 1))


def fit(magnitude, max_scale, neg):
    """The most fractional digits (at most max_scale) whose rounded mantissa fits, or None on overflow."""
    for s in range(max_scale, -1, -1):
        if (m := half_even(magnitude * 10**s)) < LIMIT:
            return (neg, m, s)
    return None


def add(a, b):
    v = value(a) + value(b)
    return fit(abs(v), max(a[2], b[2]), (a[0] and b[0]) if v == 0 else v < 0)


def div(a, b):
    if b[1] == 0 or (r := fit(abs(value(a) / value(b)), MAX_SCALE, a[0] != b[0])) is None:
        return None
    neg, m, s = r
    if Fraction(m, 10**s) == abs(value(a) / value(b)):  # exact: only the digits it needs
        while s > max(a[2] - b[2], 0) and m % 10 == 0:
            m, s = m // 10, s - 1
    return (neg, m, s)


def round_to(a, n):
    neg, m, s = a
    if s <= n:
        return a
    q, r = divmod(m, 10 ** (s - n))
    q += 2 * r >= 10 ** (s - n)
    return (neg and q != 0, q, n)


def normalize(a):
    neg, m, s = a
    while s > 0 and m % 10 == 0:
        m, s = m // 10, s - 1
    return (neg, m, s) if m else (False, 0, 0)


OPERATIONS = {"add": add, "sub": lambda a, b: add(a, (not b[0], b[1], b[2])), "div": div,
              "mul": lambda a, b: fit(abs(value(a) * value(b)), min(a[2] + b[2], MAX_SCALE), a[0] != b[0])}


def operand(rng):
    m = rng.choice([
        rng.randrange(1000), rng.getrandbits(rng.randint(1, 96)), LIMIT - 1 - rng.randrange(1000), 0,
        min(10 ** rng.randint(0, 28) + rng.choice((-1, 0, 1)), LIMIT - 1), rng.randrange(LIMIT // 10, LIMIT),
        rng.choice((5, 15, 25, 125, 625, 3125)) * 10 ** rng.randint(0, 20),  # ties
        rng.choice((1, 3, 7, 9, 10, 2**64 - 1, 2**64, LIMIT // 2)),
    ])
    return (rng.random() < 0.4, m, rng.choice((0, 0, 1, 27, MAX_SCALE, rng.randint(0, MAX_SCALE))))


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_arithmetic_matches_the_exact_oracle(seed):
    rng = random.Random(seed)
    lines, expected = [], []
    for _ in range(4000):
        a, b, n = operand(rng), operand(rng), rng.randint(0, 30)
        for op, fn in OPERATIONS.items():
            lines.append(f"{op} {render(a)} {render(b)}")
            expected.append("overflow" if (r := fn(a, b)) is None else render(r))
        lines += [f"round {render(a)} {n}", f"normalize {render(a)}", f"cmp {render(a)} {render(b)}"]
        d = value(a) - value(b)
        expected += [render(round_to(a, n)), render(normalize(a)), str((d > 0) - (d < 0))]
    got = run(lines)
    assert len(got) == len(lines)
    bad = [f"{line!r}: got {g!r}, expected {e!r}" for line, g, e in zip(lines, got, expected) if g != e]
    assert not bad, f"{len(bad)} mismatches, first ones:\n" + "\n".join(bad[:20])
