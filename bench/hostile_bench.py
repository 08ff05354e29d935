"""Hostile documents and receipt batches: time and memory must stay linear.

Every case builds its input in memory, at half and at full size, and runs in a
fresh interpreter so that memory is measured per case. For each run it prints
the input and output sizes, the time of the call, the peak resident memory of
the whole child process and the peak growth during the call itself (above the
memory held just before it, input included), and two ratios: milliseconds per
input MB and call memory per byte of input plus output. The last columns give
the full/half growth of time and call memory; linear work gives about 2, and
anything at 3 or more is flagged with "!!".

Document cases run receipts_for_bytes and then verify_bytes on its output;
receipt-batch cases run verify_bytes only. Only the public module functions
are called.

    PYTHONPATH=build/release/python python3 bench/hostile_bench.py [CASE ...]
        [--scale F] [--timeout S] [--list]

--scale multiplies every full size (default 1.0); --timeout bounds one child
(default 300 s) and a case over it is reported as "timeout"; each child's
address space is capped at --memory-limit-gb (default 8, 0 for none, and no
cap when AddressSanitizer is preloaded).
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import os
import resource
import subprocess
import sys
import time

SCHEMA = "er/0.2"

HEAD = (
    "<xbrl xmlns='http://www.xbrl.org/2003/instance' xmlns:f='urn:f'"
    " xmlns:ix='http://www.xbrl.org/2013/inlineXBRL' xmlns:iso4217='http://www.xbrl.org/2003/iso4217'"
    " xmlns:xbrldi='http://xbrl.org/2006/xbrldi'>"
    "<context id='c'><entity><identifier scheme='urn:s'>E</identifier></entity>"
    "<period><instant>2024-12-31</instant></period></context>"
    "<unit id='u'><measure>iso4217:EUR</measure></unit>"
)
TAIL = "</xbrl>"
FACT = "<f:Revenue contextRef='c' unitRef='u' decimals='0'>1234</f:Revenue>"
SMALL_SOURCE = (HEAD + FACT + TAIL).encode()


# ---------------------------------------------------------------------------
# Canonical bodies and receipt ids, written the way the module writes them
# (compact JSON, fixed member order); enough for the ASCII texts used here.

def dumps(value) -> str:
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def claim(value: str, kind: str, doc_id: str, unit: str | None = None) -> dict:
    out = {"value": value}
    if unit is not None:
        out["unit"] = unit
    out["kind"] = kind
    out["doc_id"] = doc_id
    return out


def derivation(op: str, inputs: list[dict], round_dp: int | None = None) -> dict:
    operation = {"op": op} if op == "difference" else {"op": op, "round_dp": round_dp}
    return {"operation": operation, "inputs": inputs}


def receipt_id(claim_: dict, evidence: list, derivation_: dict | None) -> str:
    body = dumps([SCHEMA, claim_, evidence, derivation_])
    return "er_" + hashlib.sha256(body.encode()).hexdigest()


def receipt_line(claim_: dict, evidence: list, derivation_: dict | None) -> str:
    record = {"schema": SCHEMA, "receipt_id": receipt_id(claim_, evidence, derivation_),
              "claim": claim_, "evidence": evidence}
    if derivation_ is not None:
        record["derivation"] = derivation_
    return dumps(record)


def stated_parent(doc_id: str) -> tuple[str, str, str]:
    """A stated receipt for SMALL_SOURCE's fact under the given doc_id: (line, id, value).
    The receipt the module builds is read back and rewritten, and the writer
    above must reproduce the module's own id first."""
    import quorrel

    line = quorrel.receipts_for_bytes(SMALL_SOURCE, "d", "urn:doc").splitlines()[0]
    record = json.loads(line)
    assert receipt_id(record["claim"], record["evidence"], None) == record["receipt_id"], "canonical writer disagrees"
    record["claim"]["doc_id"] = doc_id
    new = receipt_line(record["claim"], record["evidence"], None)
    return new, json.loads(new)["receipt_id"], record["claim"]["value"]


# ---------------------------------------------------------------------------
# Cases. Each takes a size and returns ("document", source bytes) or
# ("receipts", jsonl text, source bytes).

def deep_nesting(n: int):
    body = "<a>" * n + FACT + "</a>" * n
    return "document", (HEAD + body + TAIL).encode()


def nested_inline_text(n: int):
    opens = "".join(f"<ix:nonNumeric name='f:T{i}' contextRef='c'>text of level {i} " for i in range(n))
    inner = "<ix:nonFraction name='f:N' contextRef='c' unitRef='u' decimals='0'>7</ix:nonFraction>"
    return "document", (HEAD + "<body>" + opens + inner + "</ix:nonNumeric>" * n + "</body>" + TAIL).encode()


def nested_numeric_text(n: int):
    # Each level is numeric (it names a unit) and closes with one more digit,
    # so every fact's value is a valid number as long as the levels inside it.
    opens = "<ix:nonNumeric name='f:N' contextRef='c' unitRef='u'>" * n
    closes = "1</ix:nonNumeric>" * n
    return "document", (HEAD + "<body>" + opens + "0." + closes + "</body>" + TAIL).encode()


def continuation_chain(n: int):
    parts = [HEAD, "<body>",
             "<ix:nonFraction name='f:N' contextRef='c' unitRef='u' decimals='0' continuedAt='k0'>1.</ix:nonFraction>",
             f"<ix:nonNumeric name='f:T' contextRef='c' continuedAt='k{n // 2}'>t</ix:nonNumeric>"]
    parts.extend(f"<ix:continuation id='k{i}' continuedAt='k{i + 1}'>1</ix:continuation>" for i in range(n - 1))
    parts.append(f"<ix:continuation id='k{n - 1}' continuedAt='k0'>1</ix:continuation>")  # back to the start
    parts += ["</body>", TAIL]
    return "document", "".join(parts).encode()


def shared_continuation(n: int):
    # n/10 numeric facts all continuing into one chain of n one-digit links:
    # every fact's text grows by the whole chain.
    parts = [HEAD, "<body>"]
    parts.extend(f"<ix:nonFraction name='f:N{i}' contextRef='c' unitRef='u' decimals='0' continuedAt='k0'>1."
                 "</ix:nonFraction>" for i in range(max(n // 10, 1)))
    parts.extend(f"<ix:continuation id='k{i}' continuedAt='k{i + 1}'>1</ix:continuation>" for i in range(n))
    parts += ["</body>", TAIL]
    return "document", "".join(parts).encode()


def many_attributes(n: int):
    attrs = "".join(f" p:a{i}='v'" for i in range(n))
    fact = f"<f:Revenue{attrs} contextRef='c' unitRef='u' decimals='0'>1234</f:Revenue>"
    return "document", (HEAD + fact + TAIL).encode()


def big_text_node(n: int):
    digits = "0." + "123456789 " * (n // 10)
    return "document", (HEAD + f"<f:Revenue contextRef='c' unitRef='u' decimals='0'>{digits}</f:Revenue>" + TAIL).encode()


def big_typed_member(n: int):
    typed = ("<context id='t'><entity><identifier scheme='urn:s'>E</identifier><segment>"
             "<xbrldi:typedMember dimension='f:Axis'><f:v>" + "x" * n + "</f:v></xbrldi:typedMember>"
             "</segment></entity><period><instant>2024-12-31</instant></period></context>")
    fact = "<f:Revenue contextRef='t' unitRef='u' decimals='0'>1234</f:Revenue>"
    return "document", (HEAD + typed + fact + TAIL).encode()


def many_prefixes(n: int):
    # n prefixes declared on the root, 100 n elements using the first, middle and last of them.
    prefixes = max(n, 3)
    decls = "".join(f" xmlns:p{i}='urn:p{i}'" for i in range(prefixes))
    used = ["<p0:e/>", f"<p{prefixes // 2}:e/>", f"<p{prefixes - 1}:e/>"]
    elements = "".join(used[i % 3] for i in range(100 * n))
    head = HEAD.replace("<xbrl ", "<xbrl" + decls + " ", 1)
    return "document", (head + elements + FACT.replace("f:Revenue", "p0:Revenue") + TAIL).encode()


def same_key_facts(n: int):
    facts = "".join(f"<f:Revenue contextRef='c' unitRef='u' decimals='0'>{i}</f:Revenue>" for i in range(n))
    return "document", (HEAD + facts + TAIL).encode()


def blank_jsonl(n: int):
    blanks = ["", " ", "\t", " \u00a0\u3000 ", "\r", "\u2028"]
    return "receipts", "\n".join(blanks[i % len(blanks)] for i in range(n)), SMALL_SOURCE


def wide_derivation(n: int):
    # One ratio over n inputs: every other input names a real parent, the rest unknown ids.
    parent_line, parent_id, parent_value = stated_parent("d")
    inputs = []
    for i in range(n):
        rid = parent_id if i % 2 == 0 else "er_" + hashlib.sha256(str(i).encode()).hexdigest()
        inputs.append({"receipt_id": rid, "value": parent_value, "role": f"r{i}"})
    derived = receipt_line(claim("1", "derived", "d"), [], derivation("ratio", inputs, 2))
    return "receipts", parent_line + "\n" + derived + "\n", SMALL_SOURCE


def one_large_parent(n: int):
    # One 4 MB parent consumed by n inputs of one derived receipt.
    parent_line, parent_id, parent_value = stated_parent("D" * (4 << 20))
    inputs = [{"receipt_id": parent_id, "value": parent_value, "role": "x"} for _ in range(n)]
    derived = receipt_line(claim("1", "derived", "d"), [], derivation("ratio", inputs))
    return "receipts", parent_line + "\n" + derived + "\n", SMALL_SOURCE


def large_parent_many_children(n: int):
    # The same 4 MB parent consumed twice by each of n/2 derived ratios, all of which verify.
    parent_line, parent_id, parent_value = stated_parent("D" * (4 << 20))
    lines = [parent_line]
    for i in range(n // 2):
        inputs = [{"receipt_id": parent_id, "value": parent_value, "role": "numerator"},
                  {"receipt_id": parent_id, "value": parent_value, "role": "denominator"}]
        lines.append(receipt_line(claim("1", "derived", f"d{i}"), [], derivation("ratio", inputs, 4)))
    return "receipts", "\n".join(lines) + "\n", SMALL_SOURCE


# name: (builder, full size, what the size counts)
CASES = {
    "deep_nesting": (deep_nesting, 100_000, "nesting levels"),
    "nested_inline_text": (nested_inline_text, 10_000, "nested nonNumeric facts"),
    "nested_numeric_text": (nested_numeric_text, 10_000, "nested numeric facts"),
    "continuation_chain": (continuation_chain, 100_000, "links, last one loops"),
    "shared_continuation": (shared_continuation, 10_000, "links, n/10 facts continuing into them"),
    "many_attributes": (many_attributes, 1_000_000, "attributes on one element"),
    "big_text_node": (big_text_node, 50_000_000, "bytes of fact text"),
    "big_typed_member": (big_typed_member, 10_000_000, "bytes of typedMember"),
    "many_prefixes": (many_prefixes, 10_000, "prefixes (x100 elements)"),
    "same_key_facts": (same_key_facts, 100_000, "facts with one key"),
    "blank_jsonl": (blank_jsonl, 1_000_000, "blank JSONL lines"),
    "wide_derivation": (wide_derivation, 100_000, "inputs of one receipt"),
    "one_large_parent": (one_large_parent, 100_000, "inputs naming a 4 MB parent"),
    "large_parent_many_children": (large_parent_many_children, 100_000, "inputs in n/2 receipts"),
}


# ---------------------------------------------------------------------------
# Child side: build, then measure each call with the peak-memory mark reset.

def rss_kb(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def measure(fn):
    gc.collect()
    can_reset = reset_peak()
    before = rss_kb("VmRSS")
    start = time.perf_counter()
    result = fn()
    seconds = time.perf_counter() - start
    peak = rss_kb("VmHWM") if can_reset else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return result, seconds, max(peak - before, 0)


def child(case: str, size: int) -> None:
    import quorrel

    kind, *inputs = CASES[case][0](size)
    rows = []
    if kind == "document":
        (source,) = inputs
        jsonl, t, mem = measure(lambda: quorrel.receipts_for_bytes(source, "doc", "urn:doc"))
        rows.append({"call": "receipts", "input": len(source), "output": len(jsonl.encode()), "seconds": t,
                     "call_kb": mem, "lines": jsonl.count("\n")})
        summary, t, mem = measure(lambda: quorrel.verify_bytes(jsonl, source))
    else:
        jsonl, source = inputs
        summary, t, mem = measure(lambda: quorrel.verify_bytes(jsonl, source))
    parsed = json.loads(summary)
    rows.append({"call": "verify", "input": len(source) + len(jsonl.encode()), "output": len(summary.encode()),
                 "seconds": t, "call_kb": mem, "pass": parsed["pass"], "fail": parsed["fail"]})
    print(json.dumps(rows))


# ---------------------------------------------------------------------------
# Parent side.

def run_child(case: str, size: int, timeout: float, limit_gb: float):
    def limit():  # keep a runaway case from taking the machine's memory
        cap = int(limit_gb * (1 << 30))
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))

    # AddressSanitizer reserves terabytes of address space: no cap under it.
    capped = limit_gb > 0 and "asan" not in os.environ.get("LD_PRELOAD", "")
    proc = subprocess.Popen([sys.executable, __file__, "--child", case, str(size)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, preexec_fn=limit if capped else None)
    deadline = time.monotonic() + timeout
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid != 0:
            break
        if time.monotonic() > deadline:
            proc.kill()
            os.wait4(proc.pid, 0)
            return None, "timeout", 0
        time.sleep(0.05)
    out = proc.stdout.read().decode()
    err = proc.stderr.read().decode()
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        return None, f"exit {code}: {err.strip().splitlines()[-1] if err.strip() else ''}", usage.ru_maxrss
    return json.loads(out), "", usage.ru_maxrss


def mb(n: float) -> str:
    return f"{n / 1e6:8.2f}"


def main() -> None:
    if len(sys.argv) >= 2 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]))
        return
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("cases", nargs="*", help="case names (default: all)")
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--timeout", type=float, default=300.0)
    parser.add_argument("--memory-limit-gb", type=float, default=8.0, help="address-space cap per child; 0: none")
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    if args.list:
        for name, (_, full, what) in CASES.items():
            print(f"{name:<28} {full:>12,} {what}")
        return
    names = args.cases or list(CASES)
    for name in names:
        if name not in CASES:
            parser.error(f"unknown case {name}")

    print(f"{'case':<28} {'call':<8} {'size':>10} {'in MB':>8} {'out MB':>8} {'ms':>9} {'ms/inMB':>8} "
          f"{'peak MB':>8} {'call MB':>8} {'mem/io':>7} {'t x':>6} {'m x':>6}  result")
    flagged = []
    for name in names:
        _, full, _ = CASES[name]
        full = max(2, int(full * args.scale))
        previous: dict[str, dict] = {}
        for size in (full // 2, full):
            rows, problem, peak_kb = run_child(name, size, args.timeout, args.memory_limit_gb)
            if rows is None:
                print(f"{name:<28} {'-':<8} {size:>10,} {problem}")
                flagged.append(f"{name} at {size}: {problem}")
                continue
            for row in rows:
                call_bytes = row["call_kb"] * 1024
                io = row["input"] + row["output"]
                growth_t = growth_m = ""
                mark = ""
                half = previous.get(row["call"])
                if half is not None:
                    gt = row["seconds"] / max(half["seconds"], 1e-6)
                    # Below a few MB the resident-memory figure is noise.
                    gm = (call_bytes + (4 << 20)) / (half["call_kb"] * 1024 + (4 << 20))
                    growth_t, growth_m = f"{gt:6.2f}", f"{gm:6.2f}"
                    if (gt >= 3 and row["seconds"] > 0.05) or gm >= 3:
                        mark = " !!"
                        flagged.append(f"{name}/{row['call']}: time x{gt:.2f}, memory x{gm:.2f}")
                result = (f"{row['lines']} receipts" if row["call"] == "receipts"
                          else f"pass {row['pass']} fail {row['fail']}")
                print(f"{name:<28} {row['call']:<8} {size:>10,} {mb(row['input'])} {mb(row['output'])} "
                      f"{row['seconds'] * 1e3:9.1f} {row['seconds'] * 1e3 / max(row['input'] / 1e6, 1e-3):8.1f} "
                      f"{peak_kb / 1024:8.1f} {call_bytes / 2**20:8.1f} {call_bytes / max(io, 1):7.2f} "
                      f"{growth_t:>6} {growth_m:>6}  {result}{mark}")
                previous[row["call"]] = row
    if flagged:
        print("\nflagged (growth of 3 or more from half to full size, or no result):")
        for line in flagged:
            print("  " + line)
    else:
        print("\nno case grew by 3 or more from half to full size")


if __name__ == "__main__":
    main()
