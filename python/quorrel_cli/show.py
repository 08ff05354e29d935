"""Show receipts where they came from: a report for the terminal, or one
self-contained HTML page of the filing with every receipted fact outlined.

    quorrel show RECEIPTS SOURCE                  the terminal report
    quorrel show RECEIPTS SOURCE --html OUT.html  the page

Each receipt is shown with its verification status (one verify_bytes call over
the whole text), what the fact table says of its fact (period, entity,
dimensions, unit measures, decimals) and the text of the element its byte range
points at; derived receipts with their operation and parents.

A filing is untrusted input, and so is a receipt text. The terminal report
writes every control character as a visible escape. The page is made inert
twice over: the filing's markup is rebuilt from a tokenizer pass that keeps no
script, event handler, form, frame, object, base, meta or reference to any
outside resource, and every document of the page carries a Content-Security-
Policy that allows no network request at all and only the page's own script
and styles, by hash. The filing lives in a sandboxed frame that may not run
scripts; the page's script reads its data from JSON that no text can end.
"""

from __future__ import annotations

import argparse
import base64
import codecs
import hashlib
import html
import json
import os
import re
import secrets
import sys
from html.parser import HTMLParser
from typing import Any, Sequence

import quorrel
import quorrel_tools

BOM = b"\xef\xbb\xbf"
INLINE_NAMESPACES = ("http://www.xbrl.org/2013/inlineXBRL", "http://www.xbrl.org/2008/inlineXBRL")
SNIPPET_LENGTH = 80


# ---------------------------------------------------------------- the receipts


def _visible_char(match: re.Match) -> str:
    char = match.group()
    if char == "\\":
        return "\\\\"
    return f"\\x{ord(char):02x}" if ord(char) < 0x100 else f"\\u{ord(char):04x}"


# C0 and C1 controls, DEL, the line and paragraph separators and the marks that
# reorder text; the backslash too, so that an escape always means an escape.
_INVISIBLE = re.compile("[\\x00-\\x1f\\x7f-\\x9f\\\\\u061c\u200e\u200f\u2028\u2029\u202a-\u202e\u2066-\u2069]")


def visible(text: str) -> str:
    """The text with every character that could drive a terminal written as an escape."""
    return _INVISIBLE.sub(_visible_char, text)


class _TextOf(HTMLParser):
    """The character data of a piece of markup: tags, comments and instructions
    dropped, references decoded, CDATA sections kept."""

    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.parts: list[str] = []

    def handle_data(self, data: str) -> None:
        self.parts.append(data)

    def unknown_decl(self, data: str) -> None:
        if data.startswith("CDATA["):
            self.parts.append(data[6:])


def _encoding(body: bytes) -> str:
    """The codec for the document's text: the XML declaration's, when Python
    knows it and it is not a subset of UTF-8."""
    match = re.match(rb"\s*<\?xml[^>]*?encoding\s*=\s*[\"']([A-Za-z0-9._-]+)", body[:200])
    if match:
        try:
            name = codecs.lookup(match.group(1).decode("ascii")).name
        except LookupError:
            return "utf-8"
        if name not in ("ascii", "utf-8") and not name.startswith("utf-16") and not name.startswith("utf-32"):
            return name
    return "utf-8"


def _snippet(markup: str) -> str:
    reader = _TextOf()
    reader.feed(markup)
    reader.close()
    text = re.sub(r"[ \t\r\n]+", " ", "".join(reader.parts)).strip()
    return text if len(text) <= SNIPPET_LENGTH else text[: SNIPPET_LENGTH - 1] + "\u2026"


def _period(row: dict) -> str:
    if row["period_type"] == "forever":
        text = "forever"
    elif row["period_type"] == "duration":
        text = f"{row['period_start']} to {row['period_end']}"
    else:
        text = row["period_end"] or "unknown"
    return f"{text} (context {row['context_ref']})"


def _measures(row: dict) -> str:
    text = " * ".join(row["unit_numerator"] or [])
    if row["unit_denominator"]:
        text += " / " + " * ".join(row["unit_denominator"])
    return f"{row['unit_ref']}: {text}" if text else row["unit_ref"] or ""


class Shown:
    """One receipt as shown: its status and failed checks, what it claims and
    what the fact table says, as labelled lines, and where its fact is."""

    def __init__(self, receipt: dict, report: dict | None) -> None:
        self.receipt = receipt
        self.receipt_id = str(receipt.get("receipt_id"))
        self.verified = report is None
        self.checks = [] if report is None else report["checks"]
        self.fields: list[tuple[str, str]] = []
        self.parents: list[tuple[str, str, str]] = []  # role, receipt id, value
        self.place: tuple[int, int] | None = None  # the fact's byte range, when a fact starts there
        self.concept = ""
        self.period_end = ""
        self.label = ""


def _locator(receipt: dict) -> dict:
    evidence = receipt.get("evidence") or [{}]
    return evidence[0].get("locator") or {}


def _receipts(text: str) -> list[tuple[str, dict]]:
    # Lines end at line feeds only: U+2028 may stand inside a JSON string.
    return [(line + "\n", json.loads(line)) for line in text.split("\n") if line.strip()]


def _reports(lines: list[tuple[str, dict]], source: bytes, summary: dict) -> list[dict | None]:
    """The failure report of each receipt line, or None when it verified.
    Reports name receipts by id; when lines share an id and only some of them
    failed, each of those lines is verified again among the other receipts."""
    failures: dict[str, list[dict]] = {}
    for report in summary["failures"]:
        failures.setdefault(report["receipt_id"], []).append(report)
    ids = [receipt.get("receipt_id") for _, receipt in lines]
    counts: dict = {}
    for rid in ids:
        counts[rid] = counts.get(rid, 0) + 1
    out: list[dict | None] = []
    for index, rid in enumerate(ids):
        reports = failures.get(rid) if isinstance(rid, str) else None
        if not reports:
            out.append(None)
        elif len(reports) == counts[rid]:
            out.append(reports.pop(0))
        else:
            alone = "".join(line for j, (line, _) in enumerate(lines) if j == index or ids[j] != rid)
            again = json.loads(quorrel.verify_bytes(alone, source))["failures"]
            out.append(next((r for r in again if r["receipt_id"] == rid), None))
    return out


class Report:
    """The receipts of a text with their statuses and facts, ready to show."""

    def __init__(self, receipts_text: str, source: bytes) -> None:
        summary = json.loads(quorrel.verify_bytes(receipts_text, source))
        lines = _receipts(receipts_text)
        self.body = source[3:] if source.startswith(BOM) else source
        self.encoding = _encoding(self.body)
        self.entries = [Shown(receipt, report) for (_, receipt), report in
                        zip(lines, _reports(lines, source, summary))]
        self.verified = sum(e.verified for e in self.entries)
        self.failed = len(self.entries) - self.verified
        first = next((e.receipt for e in self.entries if e.receipt.get("evidence")), {})
        self.doc_id = str(first.get("claim", {}).get("doc_id", "document"))
        artifact = (first.get("evidence") or [{}])[0].get("source_artifact", {})
        rows, _ = quorrel_tools.facts(source, self.doc_id, str(artifact.get("uri", self.doc_id)),
                                      artifact.get("authority"))
        self._describe(rows)

    def text(self, start: int, end: int) -> str:
        return self.body[start:end].decode(self.encoding, "replace")

    def _describe(self, rows: list) -> None:
        by_id = {row["receipt_id"]: row for row in rows if row["receipt_id"]}
        by_place: dict = {}
        for row in rows:
            if row["byte_start"] is not None:
                by_place.setdefault((row["byte_start"], row["byte_end"]), []).append(row)
        index_of = {e.receipt_id: i for i, e in reversed(list(enumerate(self.entries)))}
        for entry in self.entries:
            value = str((entry.receipt.get("claim") or {}).get("value"))
            entry.fields.append(("value", value))
            derivation = entry.receipt.get("derivation")
            if derivation:
                self._derived(entry, derivation, index_of)
                op = (derivation.get("operation") or {}).get("op")
                entry.label = f"{value}  {op} of {len(entry.parents)} receipts"
            else:
                self._stated(entry, by_id, by_place)
                entry.label = f"{value}  {entry.concept}  {entry.period_end}".rstrip()

    def _stated(self, entry: Shown, by_id: dict, by_place: dict) -> None:
        # A receipt finds its fact by id when it is intact, otherwise by byte
        # range and concept, or by byte range alone: an edited receipt still
        # shows the fact it points at.
        locator = _locator(entry.receipt)
        entry.concept = str(locator.get("concept", ""))
        entry.fields.append(("concept", entry.concept))
        span: Any = locator.get("byte_range")
        row = by_id.get(entry.receipt_id)
        if row is None and isinstance(span, list) and len(span) == 2:
            candidates = by_place.get(tuple(span), [])
            row = next((r for r in candidates if r["concept"] == entry.concept), candidates[0] if candidates else None)
        if row is None:
            entry.fields.append(("fact", "no fact of the source starts at this receipt's byte range"))
            if _is_range(span, len(self.body)):
                entry.fields.append(("source", f"bytes {span[0]}-{span[1]}: {_snippet(self.text(*span))}"))
            return
        entry.place = (row["byte_start"], row["byte_end"])
        entry.period_end = row["period_end"] or ""
        entry.fields.append(("period", _period(row)))
        entry.fields.append(("entity", f"{row['entity_scheme']} {row['entity_identifier']}"))
        for dim in row["dimensions"]:
            entry.fields.append(("dimension", f"{dim['dimension']} = {dim['member']}"))
        if row["unit_ref"] is not None:
            entry.fields.append(("unit", _measures(row)))
        entry.fields.append(("decimals", row["decimals"] or "none"))
        hidden = " (hidden)" if row["hidden"] else ""
        entry.fields.append(("source", f"bytes {entry.place[0]}-{entry.place[1]}{hidden}: "
                                       f"{_snippet(self.text(*entry.place))}"))

    def _derived(self, entry: Shown, derivation: dict, index_of: dict) -> None:
        operation = derivation.get("operation") or {}
        op = str(operation.get("op"))
        if operation.get("round_dp") is not None:
            op += f", rounded to {operation['round_dp']} places"
        entry.fields.append(("operation", op))
        for item in derivation.get("inputs") or []:
            parent = (str(item.get("role")), str(item.get("receipt_id")), str(item.get("value")))
            entry.parents.append(parent)
            found = index_of.get(parent[1])
            about = f" ({self.entries[found].concept})" if found is not None and self.entries[found].concept else ""
            entry.fields.append(("parent", f"{parent[0]}: {parent[2]} from {parent[1]}{about}"))


def _is_range(span, size: int) -> bool:
    return (isinstance(span, list) and len(span) == 2 and all(type(n) is int for n in span)
            and 0 <= span[0] < span[1] <= size)


def _count_line(report: Report) -> str:
    return f"{len(report.entries)} receipts: {report.verified} verified, {report.failed} failed"


def _terminal(report: Report) -> str:
    out = [_count_line(report)]
    for entry in report.entries:
        out.append("")
        out.append(f"{visible(entry.receipt_id)}  {'verified' if entry.verified else 'FAILED'}")
        for check in entry.checks:
            if not check["pass"]:
                out.append(f"  {'failed':<10} {visible(check['name'])}: {visible(check.get('detail', ''))}")
        out.extend(f"  {label:<10} {visible(text)}" for label, text in entry.fields)
    return "\n".join(out) + "\n"


def terminal_report(receipts_text: str, source: bytes) -> str:
    """A report of every receipt of the text for the terminal: status, failed
    checks, value, concept, period, entity, dimensions, unit measures, decimals
    and source snippet, or operation and parents. Raises ValueError when the
    source or a receipt line does not read."""
    return _terminal(Report(receipts_text, source))


# ---------------------------------------------------------------- the page


def _digest(text: str) -> str:
    return "'sha256-" + base64.b64encode(hashlib.sha256(text.encode("utf-8")).digest()).decode("ascii") + "'"


def _escape(text: str) -> str:
    return html.escape(text, quote=True)


def _script_json(data) -> str:
    """JSON that can stand inside a script element: nothing in it can end the
    element or read as markup, and no line separator breaks older parsers."""
    text = json.dumps(data, ensure_ascii=False, separators=(",", ":"))
    for char, escape in (("&", "\\u0026"), ("<", "\\u003c"), (">", "\\u003e"),
                         ("\u2028", "\\u2028"), ("\u2029", "\\u2029")):
        text = text.replace(char, escape)
    return text


def _policy(scripts: Sequence[str], styles: Sequence[str]) -> str:
    """No request may leave the page: only data: images, and only the script
    and style elements listed here by hash. Style attributes are allowed: the
    filing's layout lives in them, and with no fetch allowed CSS can neither
    load nor send anything."""
    style = " ".join(dict.fromkeys(styles))
    script = " ".join(scripts) or "'none'"
    return (f"default-src 'none'; script-src {script}; "
            f"style-src {style}; style-src-elem {style}; style-src-attr 'unsafe-inline'; "
            "img-src data:; base-uri 'none'; form-action 'none'")


# Functions that can name a resource; every other function is left as written.
def _css_names_resource(name: str) -> bool:
    return (name.endswith("url") or "image" in name or "cross-fade" in name or "element" in name
            or name in ("src", "expression", "paint"))


_HEX = "0123456789abcdefABCDEF"


def _css_ident(css: str, i: int) -> tuple[int, str]:
    """The end of the CSS identifier starting at i and its text with escapes decoded."""
    out = []
    n = len(css)
    while i < n:
        c = css[i]
        if c == "\\" and i + 1 < n and css[i + 1] != "\n":
            j = i + 1
            while j < n and j < i + 7 and css[j] in _HEX:
                j += 1
            if j > i + 1:
                out.append(chr(min(int(css[i + 1:j], 16), 0x10FFFF) or 0xFFFD))
                if j < n and css[j] in " \t\n":
                    j += 1
            else:
                out.append(css[j])
                j += 1
            i = j
        elif c.isalnum() or c in "-_" or ord(c) > 0x7F:
            out.append(c)
            i += 1
        else:
            break
    return i, "".join(out)


def _css_skip(css: str, i: int, stop: str) -> int:
    """The index after the end of the block opened at i (stop ")") or after the
    next ";" (stop ";"), passing over strings, escapes and nested parentheses."""
    depth = 0
    n = len(css)
    while i < n:
        c = css[i]
        if c == "\\":
            i += 2
            continue
        if c in "\"'":
            i = _css_string_end(css, i)
            continue
        if c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
            if stop == ")" and depth <= 0:
                return i + 1
        elif c == ";" and stop == ";" and depth <= 0:
            return i + 1
        i += 1
    return n


def _css_string_end(css: str, i: int) -> int:
    quote, i, n = css[i], i + 1, len(css)
    while i < n and css[i] != quote and css[i] != "\n":
        i += 2 if css[i] == "\\" else 1
    return min(i + 1, n)


def clean_css(css: str) -> str:
    """The CSS with every function that can name a resource (url(), image-set(),
    ...) replaced by `none`, every @import rule removed and comments dropped,
    read token by token so that escapes and strings cannot hide either; then
    `<` and `&` written as CSS escapes so the text cannot close its element."""
    out: list[str] = []
    i, n = 0, len(css)
    while i < n:
        c = css[i]
        if css.startswith("/*", i):
            end = css.find("*/", i + 2)
            i = n if end < 0 else end + 2
            out.append(" ")
        elif c in "\"'":
            end = _css_string_end(css, i)
            out.append(css[i:end])
            i = end
        elif c == "@":
            end, name = _css_ident(css, i + 1)
            if name.lower() == "import":
                i = _css_skip(css, end, ";")
            else:
                out.append(css[i:end])
                i = max(end, i + 1)
        elif c.isalpha() or c in "-_\\" or ord(c) > 0x7F:
            end, name = _css_ident(css, i)
            if end == i:  # a lone backslash
                out.append(c)
                i += 1
            elif end < n and css[end] == "(" and _css_names_resource(name.lower()):
                out.append("none")
                i = _css_skip(css, end, ")")
            else:
                out.append(css[i:end])
                i = end
        else:
            out.append(c)
            i += 1
    return "".join(out).replace("<", "\\3c ").replace("&", "\\26 ")


# Elements dropped with everything inside them.
_DROPPED = {"script", "iframe", "frame", "frameset", "noframes", "object", "embed", "applet", "title",
            "template", "noembed", "portal", "fencedframe", "xmp", "plaintext"}
# Elements whose tags are dropped and whose content stays.
_UNWRAPPED = {"html", "head", "body", "meta", "link", "base", "form", "noscript", "param", "source", "track",
              "animate", "set", "animatemotion", "animatetransform", "discard"}
_VOID = {"area", "br", "col", "hr", "img", "input", "wbr", "keygen", "basefont", "bgsound"} | _UNWRAPPED - {
    "html", "head", "body", "form", "noscript"}
# Attributes that name or carry a resource or a navigation, in any namespace.
_URL_ATTRIBUTES = {"href", "src", "srcset", "imagesrcset", "poster", "action", "formaction", "background", "lowsrc",
                   "dynsrc", "data", "codebase", "classid", "archive", "cite", "longdesc", "manifest", "ping",
                   "profile", "icon", "srcdoc", "base", "http-equiv", "target", "download", "form", "attributename"}
_SCHEMES = re.compile(r"(?:java|vb|live)script:|data:|mhtml:|file:")


def _quoted(value: str) -> str:
    # The frame's markup quotes attributes with apostrophes, so that it needs
    # few escapes when it becomes a double-quoted srcdoc attribute.
    return "'" + value.replace("&", "&amp;").replace("'", "&#39;") + "'"


class _Sanitiser(HTMLParser):
    """Rebuilds the filing's markup for the frame from its tokens: every tag and
    attribute written anew, every text escaped, and nothing kept that runs,
    submits, frames or fetches. Fact elements carrying the marker attribute
    become outlined spans; those the filing hides are gathered apart."""

    def __init__(self, marker: str, status: dict[str, str], concept: dict[str, str]) -> None:
        super().__init__(convert_charrefs=True)
        self.marker = marker
        self.status = status  # marker value -> "ok" or "failed"
        self.concept = concept  # marker value -> the concept of its first receipt
        self.inline_prefixes: set[str] = set()
        self.out: list[str] = []
        self.quiet = 0  # > 0 inside an element whose content is dropped
        self.stack: list[tuple[str, str, int, tuple | None]] = []  # tag, end tag written, quiet added, capture
        self.open: dict[str, int] = {}  # how many elements of each name the stack holds
        self.hidden: list[str] = []
        self.styles: list[str] = []  # the text of every style element written
        self.style_text: list[str] = []  # the text of the style element being read

    # The tokens.
    def handle_starttag(self, tag, attrs):
        self._start(tag, attrs, closed=False)

    def handle_startendtag(self, tag, attrs):
        self._start(tag, attrs, closed=True)

    def handle_endtag(self, tag):
        if not self.open.get(tag):
            return
        for depth in range(len(self.stack) - 1, -1, -1):
            if self.stack[depth][0] == tag:
                while len(self.stack) > depth:
                    self._close()
                return

    def handle_data(self, data):
        if self.quiet:
            return
        if self.stack and self.stack[-1][0] == "style":
            self.style_text.append(data)
        else:
            self.out.append(data.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;"))

    def unknown_decl(self, data):
        if data.startswith("CDATA["):
            self.handle_data(data[6:])

    # Comments, declarations and processing instructions are dropped: the
    # handlers HTMLParser calls for them do nothing.

    def _start(self, tag: str, attrs: list, closed: bool) -> None:
        marks = None
        kept = []
        for name, value in attrs:
            if name == self.marker:
                marks = value
            elif name.startswith("xmlns:") and value in INLINE_NAMESPACES:
                self.inline_prefixes.add(name[6:])
            else:
                kept.append((name, value or ""))
        prefix, colon, local = tag.rpartition(":")
        inline = bool(colon) and prefix in self.inline_prefixes
        capture = None
        if marks is not None:
            if self.quiet:
                # A fact the filing does not show: written into a box of its own.
                capture = (self.out, self.quiet, marks)
                self.out, self.quiet = [], 0
            self.out.append(f"<span data-q='{marks}' data-qs='{self.status[marks]}'>")
            self._push(tag, "</span>", 0, capture, closed)
        elif self.quiet:
            self._push(tag, "", 0, None, closed)
        elif tag in _DROPPED or (inline and local == "header"):
            self._push(tag, "", 1, None, closed)
        elif tag in _UNWRAPPED:
            if tag not in _VOID:
                self._push(tag, "", 0, None, closed)
        elif colon or not re.fullmatch(r"[a-z][a-z0-9._-]*", tag):
            ident = [(n, v) for n, v in kept if n == "id"] if inline else []
            self.out.append("<span" + self._attributes("span", ident) + ">")
            self._push(tag, "</span>", 0, None, closed)
        else:
            self.out.append(f"<{tag}{self._attributes(tag, kept)}>")
            if tag not in _VOID:
                self._push(tag, f"</{tag}>", 0, None, closed)

    def _push(self, tag, end, quiet, capture, closed):
        self.stack.append((tag, end, quiet, capture))
        self.open[tag] = self.open.get(tag, 0) + 1
        self.quiet += quiet
        if closed:
            self._close()

    def _close(self) -> None:
        tag, end, quiet, capture = self.stack.pop()
        self.open[tag] -= 1
        self.quiet -= quiet
        if tag == "style" and not self.quiet:
            self._style("".join(self.style_text))
        self.style_text = []
        if not self.quiet:
            self.out.append(end)
        if capture is not None:
            markup = "".join(self.out)
            self.out, self.quiet, marks = capture
            self.hidden.append(f"<li>{markup} <span class='q-concept'>{_escape(self.concept[marks])}</span></li>")

    def _style(self, text: str) -> None:
        # The source is XML: a style element's text has its references decoded
        # unless it sits in a CDATA section; comments around it are no CSS.
        cdata = re.fullmatch(r"\s*<!\[CDATA\[(.*)\]\]>\s*", text, re.DOTALL)
        text = cdata.group(1) if cdata else html.unescape(re.sub(r"^\s*<!--|-->\s*$", "", text))
        css = clean_css(text)
        self.styles.append(css)
        self.out.append(css)

    def _attributes(self, tag: str, attrs: list) -> str:
        out = []
        for name, value in attrs:
            local = name.rpartition(":")[2]
            plain = re.sub(r"[\x00-\x20]+", "", value).lower()
            if tag == "a" and name == "href" and value.startswith("#"):
                # In-page links are followed by the page's script, by id.
                out.append(f" data-qhref={_quoted(value[1:])}")
            elif tag == "img" and name == "src" and re.match(r"data:image/[a-z0-9.+-]+[;,]", plain):
                out.append(f" src={_quoted(value)}")
            elif (local.startswith("on") or local in _URL_ATTRIBUTES or name.startswith("xmlns")
                  or name.startswith("data-q") or name in ("xml:base", "nonce", "integrity", "autofocus", "is")
                  or (_SCHEMES.match(plain) and name not in ("alt", "title"))):
                continue
            elif name == "style":
                out.append(f" style={_quoted(clean_css(value))}")
            elif re.fullmatch(r"[a-z_:][-a-z0-9_.:]*", name):
                out.append(f" {name}={_quoted(value)}")
        return "".join(out)


# The frame's own style: outlines that say more than a colour (solid with a
# tick for verified, dashed with a cross for failed).
FRAME_CSS = """\
[data-q][data-q][data-q]{outline:2px solid #1a7f37!important;outline-offset:1px;cursor:pointer}
[data-q][data-q][data-q]::after{content:"\\2713"!important;display:inline!important;color:#1a7f37!important;\
font:bold 9px sans-serif!important;vertical-align:super!important;margin-left:1px}
[data-qs=failed][data-qs=failed][data-q]{outline:2px dashed #cf222e!important}
[data-qs=failed][data-qs=failed][data-q]::after{content:"\\2717"!important;color:#cf222e!important}
[data-q][data-q].q-sel{outline-width:3px!important;background:#ffe58a!important}
[data-qhref]{color:#0645ad;text-decoration:underline;cursor:pointer}
.q-hidden{margin:8px;padding:6px 10px;border:1px solid #d0d7de;background:#f6f8fa;font:13px sans-serif}
.q-hidden ul{margin:4px 0;padding-left:18px}.q-concept{color:#57606a}
"""

PAGE_CSS = """\
*{box-sizing:border-box}
html,body{margin:0;height:100%;font:14px/1.4 system-ui,sans-serif;color:#1f2328;background:#f6f8fa}
body{display:flex;flex-direction:column}
header{padding:8px 14px;background:#24292f;color:#fff;display:flex;gap:18px;align-items:baseline}
header h1{font-size:16px;margin:0;font-weight:600}
main{flex:1;display:flex;min-height:0}
#q-filing{flex:1;border:0;background:#fff;min-width:0}
aside{width:440px;display:flex;flex-direction:column;border-left:1px solid #d0d7de;min-height:0}
#q-detail{padding:8px 14px;border-bottom:1px solid #d0d7de;max-height:60%;overflow:auto;background:#fff}
#q-detail h2{font-size:15px;margin:4px 0}
#q-list{list-style:none;margin:0;padding:0;overflow:auto;flex:1}
#q-list li{padding:3px 10px;border-bottom:1px solid #eaeef2;cursor:pointer;white-space:nowrap;overflow:hidden;\
text-overflow:ellipsis;font-size:13px}
#q-list li:hover{background:#eaeef2}
#q-list li.q-sel{background:#ffe58a}
.q-mark{display:inline-block;width:1.3em;font-weight:bold}
.q-ok .q-mark,.q-pass{color:#1a7f37}
.q-failed .q-mark,.q-fail{color:#cf222e}
li.q-failed{font-style:italic}
dl{display:grid;grid-template-columns:max-content 1fr;gap:2px 10px;margin:8px 0}
dt{color:#57606a}
dd{margin:0;overflow-wrap:anywhere}
code{font:12px ui-monospace,monospace;overflow-wrap:anywhere}
button.q-parent{font:inherit;color:#0645ad;background:none;border:0;padding:0;text-decoration:underline;cursor:pointer}
ul.q-checks{margin:4px 0;padding-left:18px}
main.q-table{display:block;overflow:auto}
table{border-collapse:collapse;margin:12px;background:#fff;font-size:13px}
th,td{border:1px solid #d0d7de;padding:3px 6px;text-align:left;vertical-align:top}
td.q-failed{border-left:3px dashed #cf222e}td.q-ok{border-left:3px solid #1a7f37}
"""

PAGE_JS = """\
(function () {
  "use strict";
  var data = JSON.parse(document.getElementById("q-data").textContent);
  var receipts = data.receipts, list = document.getElementById("q-list");
  var detail = document.getElementById("q-detail"), frame = document.getElementById("q-filing");
  var items = [], facts = [], selected = -1;
  function add(parent, tag, text, cls) {
    var el = document.createElement(tag);
    if (text !== undefined) el.textContent = text;
    if (cls) el.className = cls;
    parent.appendChild(el);
    return el;
  }
  receipts.forEach(function (r, i) {
    var li = add(list, "li", undefined, r.ok ? "q-ok" : "q-failed");
    add(li, "span", r.ok ? "\\u2713" : "\\u2717", "q-mark");
    li.appendChild(document.createTextNode(r.label));
    li.setAttribute("data-i", i);
    li.title = r.ok ? "verified" : "failed";
    items.push(li);
  });
  function show(i) {
    var r = receipts[i];
    detail.textContent = "";
    add(detail, "h2", r.ok ? "\\u2713 Verified" : "\\u2717 Failed", r.ok ? "q-pass" : "q-fail");
    add(detail, "code", r.id, "q-id");
    var dl = add(detail, "dl");
    r.fields.forEach(function (f) { add(dl, "dt", f[0]); add(dl, "dd", f[1]); });
    if (!facts[i] && !r.parents.length) add(detail, "p", "This receipt points at no fact shown in the filing.");
    r.parents.forEach(function (p) {
      var row = add(detail, "p", p[0] + ": ");
      if (p[3] >= 0) {
        var b = add(row, "button", p[1], "q-parent");
        b.addEventListener("click", function () { select(p[3], ""); });
      } else row.appendChild(document.createTextNode(p[1] + " (not in this text)"));
    });
    if (r.ok) { add(detail, "p", "Every check passed.", "q-pass"); return; }
    var ul = add(detail, "ul", undefined, "q-checks");
    r.checks.forEach(function (c) {
      add(ul, "li", (c.pass ? "\\u2713 " : "\\u2717 ") + c.name + (c.detail ? ": " + c.detail : ""),
          c.pass ? "q-pass" : "q-fail");
    });
  }
  function select(i, from) {
    if (selected >= 0) {
      items[selected].classList.remove("q-sel");
      if (facts[selected]) facts[selected].classList.remove("q-sel");
    }
    selected = i;
    items[i].classList.add("q-sel");
    if (from !== "list") items[i].scrollIntoView({block: "nearest"});
    if (facts[i]) {
      facts[i].classList.add("q-sel");
      if (from !== "filing") facts[i].scrollIntoView({block: "center"});
    }
    show(i);
  }
  list.addEventListener("click", function (e) {
    var li = e.target.closest("li");
    if (li) select(+li.getAttribute("data-i"), "list");
  });
  function wire() {
    var doc = frame.contentDocument, outlined = 0;
    doc.querySelectorAll("[data-q]").forEach(function (el) {
      el.getAttribute("data-q").split(" ").forEach(function (n) { facts[+n] = el; outlined++; });
    });
    doc.addEventListener("click", function (e) {
      var target = e.target.nodeType === 1 ? e.target : e.target.parentElement;
      if (!target) return;
      var link = target.closest("[data-qhref]"), fact = target.closest("[data-q]");
      if (fact) select(+fact.getAttribute("data-q").split(" ")[0], "filing");
      else if (link) {
        var name = link.getAttribute("data-qhref");
        var to = doc.getElementById(name) || doc.getElementsByName(name)[0];
        if (to) to.scrollIntoView();
      }
    });
    document.body.setAttribute("data-outlined", outlined);
  }
  var doc = frame.contentDocument;
  if (doc && doc.URL === "about:srcdoc" && doc.readyState === "complete") wire();
  else frame.addEventListener("load", wire, {once: true});
})();
"""


def _is_inline(body: bytes) -> bool:
    return any(ns.encode() in body for ns in INLINE_NAMESPACES)


def _frame(report: Report) -> tuple[str, list[str]]:
    """The filing's markup for the frame, with the fact of every located receipt
    marked, and the hashes of the style elements in it."""
    places: dict[int, list[int]] = {}
    for index, entry in enumerate(report.entries):
        if entry.place is not None and report.body[entry.place[0]:entry.place[0] + 1] == b"<":
            places.setdefault(entry.place[0], []).append(index)
    # The marker attribute's name is drawn at random, so no filing can carry
    # one of its own: the sanitiser takes only this name for a fact's marker.
    marker = "q" + secrets.token_hex(12)
    pieces, last, body = [], 0, report.body
    status, concept = {}, {}
    for start in sorted(places):
        end = start + 1
        while end < len(body) and body[end] not in b" \t\r\n/>":
            end += 1
        value = " ".join(map(str, places[start]))
        status[value] = "ok" if all(report.entries[i].verified for i in places[start]) else "failed"
        concept[value] = report.entries[places[start][0]].concept
        pieces += [body[last:end], f' {marker}="{value}"'.encode()]
        last = end
    pieces.append(body[last:])
    # Newlines as the browser will read them, and no NUL: the style hashes
    # must be taken over the very text the frame's parser sees.
    markup = b"".join(pieces).decode(report.encoding, "replace").replace("\r\n", "\n").replace("\r", "\n")
    sanitiser = _Sanitiser(marker, status, concept)
    sanitiser.feed(markup.replace("\0", "\ufffd"))
    sanitiser.close()
    while sanitiser.stack:
        sanitiser._close()
    styles = [_digest(FRAME_CSS)] + [_digest(css) for css in sanitiser.styles]
    hidden = ""
    if sanitiser.hidden:
        hidden = ("<div class='q-hidden'>Facts the filing does not show in its text:<ul>"
                  + "".join(sanitiser.hidden) + "</ul></div>")
    policy = _policy([], styles)
    document = (f"<!DOCTYPE html><html><head><meta charset='utf-8'>"
                f"<meta http-equiv='Content-Security-Policy' content={_quoted(policy)}>"
                f"<style>{FRAME_CSS}</style></head><body>{hidden}{''.join(sanitiser.out)}</body></html>")
    return document, styles


def _entry_data(report: Report, index_of: dict) -> list[dict]:
    return [{"id": e.receipt_id, "ok": e.verified, "label": e.label, "fields": e.fields,
             "checks": e.checks, "parents": [[role, rid, value, index_of.get(rid, -1)]
                                             for role, rid, value in e.parents]}
            for e in report.entries]


def _instance_table(report: Report) -> str:
    rows = []
    for entry in report.entries:
        status = "\u2713 verified" if entry.verified else "\u2717 failed"
        failed = "".join(f"<br>{_escape(c['name'])}: {_escape(c.get('detail', ''))}"
                         for c in entry.checks if not c["pass"])
        fields = "".join(f"<div><b>{_escape(label)}</b> {_escape(text)}</div>" for label, text in entry.fields)
        css = "q-ok" if entry.verified else "q-failed"
        rows.append(f"<tr><td class='{css}'>{status}{failed}</td><td>{fields}</td>"
                    f"<td><code>{_escape(entry.receipt_id)}</code></td></tr>")
    return ("<table><thead><tr><th>Status</th><th>Fact and source</th><th>Receipt</th></tr></thead><tbody>"
            + "".join(rows) + "</tbody></table>")


def _page(report: Report, title: str) -> str:
    heading = (f"<header><h1>{_escape(title)}</h1><span id='q-count'>{_escape(_count_line(report))}</span>"
               "</header>")
    if not _is_inline(report.body):
        policy = _policy([], [_digest(PAGE_CSS)])
        main = f"<main class='q-table'>{_instance_table(report)}</main>"
        script = ""
    else:
        document, styles = _frame(report)
        policy = _policy([_digest(PAGE_JS)], [_digest(PAGE_CSS), *styles])
        index_of = {e.receipt_id: i for i, e in reversed(list(enumerate(report.entries)))}
        data = _script_json({"receipts": _entry_data(report, index_of)})
        main = ("<main><iframe id='q-filing' title='The filing' sandbox='allow-same-origin' "
                f"srcdoc=\"{document.replace('&', '&amp;').replace(chr(34), '&quot;')}\"></iframe>"
                "<aside><section id='q-detail'><p>Click a fact in the filing or a receipt in the list.</p>"
                "</section><ol id='q-list'></ol></aside></main>")
        script = (f"<script type='application/json' id='q-data'>{data}</script>"
                  f"<script>{PAGE_JS}</script>")
    return ("<!DOCTYPE html><html lang='en'><head><meta charset='utf-8'>"
            f"<meta http-equiv='Content-Security-Policy' content=\"{_escape(policy)}\">"
            "<meta name='referrer' content='no-referrer'><link rel='icon' href='data:,'>"
            f"<title>{_escape(title)}</title><style>{PAGE_CSS}</style></head>"
            f"<body>{heading}{main}{script}</body></html>\n")


def html_page(receipts_text: str, source: bytes, title: str | None = None) -> str:
    """One self-contained page showing the receipts of the text. For an Inline
    XBRL source: the filing, made inert, with every receipted fact outlined, a
    list of the receipts beside it, and a click on either side selecting the
    other and showing the receipt's details and checks. For an XBRL 2.1
    instance: a table of the receipts with their source snippets."""
    report = Report(receipts_text, source)
    return _page(report, title if title is not None else report.doc_id)


# ---------------------------------------------------------------- the command


def add_parser(sub: argparse._SubParsersAction, positive: Any, size: Any) -> None:
    parser = sub.add_parser("show", help="show each receipt with its fact and source text, or as a page of the filing")
    parser.add_argument("receipts", metavar="RECEIPTS")
    parser.add_argument("source", metavar="SOURCE")
    parser.add_argument("--html", metavar="OUT.html", help="write one self-contained page instead of the report")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    """`quorrel show`: exit status 0 when every receipt verifies, 1 when any
    fails, 2 on an error (unreadable file, source or receipt line that does
    not read)."""
    path = args.receipts
    try:
        with open(path, encoding="utf-8", newline="") as handle:
            receipts = handle.read()
        path = args.source
        with open(path, "rb") as handle:
            source = handle.read()
    except OSError as exc:
        sys.stderr.write(f"quorrel: {path}: {exc.strerror or exc}\n")
        return 2
    except UnicodeDecodeError as exc:
        sys.stderr.write(f"quorrel: {path}: not UTF-8 text: {exc.reason} at byte {exc.start}\n")
        return 2
    try:
        report = Report(receipts, source)
    except (ValueError, MemoryError) as exc:
        message = str(exc) or type(exc).__name__
        culprit = args.source if message.startswith("source parse failed: ") else args.receipts
        sys.stderr.write(f"quorrel: {culprit}: {visible(message)}\n")
        return 2
    if args.html:
        if any(os.path.exists(args.html) and os.path.samefile(args.html, p) for p in (args.receipts, args.source)):
            sys.stderr.write(f"quorrel: {args.html}: the output would overwrite an input\n")
            return 2
        try:
            with open(args.html, "w", encoding="utf-8", newline="") as handle:
                handle.write(_page(report, os.path.basename(args.source)))
        except OSError as exc:
            sys.stderr.write(f"quorrel: {args.html}: {exc.strerror or exc}\n")
            return 2
        sys.stdout.write(f"{args.html}: {_count_line(report)}\n")
    else:
        if hasattr(sys.stdout, "reconfigure"):
            sys.stdout.reconfigure(errors="backslashreplace")
        sys.stdout.write(_terminal(report))
    return 0 if report.failed == 0 else 1
