"""quorrel show: the terminal report, and the page in headless Chromium, which
opens, outlines the fact of every receipt, answers clicks on either side, and
stays inert on a hostile filing, also with its sanitiser switched off."""

import contextlib
import json
import re
import time
from html.parser import HTMLParser

import pytest
from selenium.webdriver.common.by import By

import browser
import quorrel
from quorrel_cli import show as quorrel_show
import receipt_json as rj
from conftest import CORPUS, EDGE, EXAMPLE, HOSTILE
from test_cli import run

KO = CORPUS / "sec" / "ko-10k-2025.htm"
EVIL = "</script><script>top.pwned = 'receipt'</script>\x1b[2J"


def find(receipts, concept, context):
    return next(r for r in receipts if r["evidence"] and r["evidence"][0]["locator"]["concept"] == concept
                and r["evidence"][0]["locator"]["context_ref"] == context)


@pytest.fixture(scope="module")
def example():
    """The example's receipts, the 2025 earnings per share edited to 1.97 (same id:
    it fails beside its intact twin), and a derived margin."""
    receipts = rj.lines(quorrel.receipts_for_bytes(EXAMPLE.read_bytes(), EXAMPLE.name, EXAMPLE.name))
    edited = json.loads(json.dumps(find(receipts, "ifrs-full:BasicEarningsLossPerShare", "FY2025")))
    edited["claim"]["value"] = "1.97"
    inputs = [(find(receipts, "ifrs-full:ProfitLoss", "FY2025"), None, "numerator"),
              (find(receipts, "ifrs-full:Revenue", "FY2025"), None, "denominator")]
    return receipts + [edited, rj.derived("0.0763", "ratio", inputs, 4)]


@pytest.fixture(scope="module")
def hostile():
    """The hostile filing's receipts (markup in their id and URI) and a failing
    derived receipt whose value ends script blocks and clears screens."""
    receipts = rj.lines(quorrel.receipts_for_bytes(HOSTILE.read_bytes(), "</script><script>", "</script>"))
    inputs = [(receipts[1], None, "minuend"), (receipts[2], None, "subtrahend")]
    return receipts + [rj.derived(EVIL, "difference", inputs)]


def test_the_report_shows_status_fact_and_source_of_every_receipt(example):
    source = EXAMPLE.read_bytes()
    head, *blocks = quorrel_show.terminal_report(rj.jsonl(example), source).rstrip("\n").split("\n\n")
    assert head == "29 receipts: 28 verified, 1 failed"
    assert [b.split("\n")[0] for b in blocks] == [
        f"{r['receipt_id']}  {'FAILED' if i == 27 else 'verified'}" for i, r in enumerate(example)]
    start = source.index(b'<ix:nonFraction name="ifrs-full:BasicEarningsLossPerShare" contextRef="FY2025"')
    end = source.index(b"</ix:nonFraction>", start) + len(b"</ix:nonFraction>")
    assert blocks[27].split("\n")[1:] == [
        "  failed     receipt_id: receipt body does not hash to receipt_id",
        "  failed     value_match: claimed 1.97, source has 1.96",
        "  value      1.97", "  concept    ifrs-full:BasicEarningsLossPerShare",
        "  period     2025-01-01 to 2025-12-31 (context FY2025)",
        "  entity     http://standards.iso.org/iso/17442 724500NORDLICHT00042",
        "  unit       EUR_per_share: iso4217:EUR / xbrli:shares", "  decimals   2",
        f"  source     bytes {start}-{end}: 1,96"]
    profit, revenue = (find(example, f"ifrs-full:{c}", "FY2025")["receipt_id"] for c in ("ProfitLoss", "Revenue"))
    assert blocks[28].split("\n")[1:] == [
        "  value      0.0763", "  operation  ratio, rounded to 4 places",
        f"  parent     numerator: 9800000 from {profit} (ifrs-full:ProfitLoss)",
        f"  parent     denominator: 128400000 from {revenue} (ifrs-full:Revenue)"]
    assert "  dimension  ifrs-full:SegmentsAxis = nl:IndustrialSegmentMember" in blocks[25]
    assert "  source     bytes 1035-1154 (hidden): 412" in blocks[0]


def test_the_command_writes_the_page_and_its_report_of_a_hostile_filing_holds_no_control_character(hostile, tmp_path):
    (tmp_path / "r.jsonl").write_text(rj.jsonl(hostile), encoding="utf-8")
    page = tmp_path / "page.html"
    written = run("show", tmp_path / "r.jsonl", HOSTILE, "--html", page)
    assert (written.returncode, written.stdout) == (1, f"{page}: 4 receipts: 3 verified, 1 failed\n".encode())
    assert page.read_text("utf-8") == quorrel_show.html_page(rj.jsonl(hostile), HOSTILE.read_bytes(), HOSTILE.name)
    result = run("show", tmp_path / "r.jsonl", HOSTILE)
    assert (result.returncode, result.stderr) == (1, b"")
    assert re.search(rb"[\x00-\x09\x0b-\x1f\x7f]|\xc2[\x80-\x9f]", result.stdout) is None
    assert b"concept    hx:Revenue\\x1b[31m\n" in result.stdout
    assert b"entity     http://example.com/id HOSTILE\\x1b[2J\\x1b]0;pwned\\x07\n" in result.stdout


def tokens(text):
    """[(tag, attributes)] and the text of a document."""
    tags, texts, parser = [], [], HTMLParser(convert_charrefs=True)
    parser.handle_starttag = parser.handle_startendtag = lambda tag, attrs: tags.append((tag, dict(attrs)))
    parser.handle_data = texts.append
    parser.feed(text)
    return tags, "".join(texts)


def test_the_page_keeps_nothing_of_the_filing_that_runs_or_fetches_and_no_text_ends_its_script(hostile):
    page = quorrel_show.html_page(rj.jsonl(hostile), HOSTILE.read_bytes())
    frame = dict(tokens(page)[0])["iframe"]["srcdoc"]
    for tag, attrs in tokens(frame)[0]:
        assert tag not in ("script", "iframe", "object", "embed", "base", "link", "form", "meta") or \
            attrs in ({"charset": "utf-8"}, {"http-equiv": "Content-Security-Policy", "content": attrs.get("content")})
        for name, value in attrs.items():
            assert not name.startswith("on") and name not in ("href", "xlink:href", "srcset", "poster", "action")
            assert name != "src" or value.startswith("data:image/")
    assert re.search(r"url\(|@import|image-set|javascript:|/external|/sheet", frame, re.I) is None
    assert page.count("</script") == 2 and page.count("<script") == 2
    data = json.loads(page.split("<script type='application/json' id='q-data'>")[1].split("</script>")[0])
    assert data["receipts"][3]["fields"][0] == ["value", EVIL] and not data["receipts"][3]["ok"]


def test_an_instance_gets_a_table_of_its_receipts_with_their_snippets():
    source = EDGE.read_bytes()
    receipts = quorrel.receipts_for_bytes(source, "edge", "edge")
    tags, text = tokens(quorrel_show.html_page(receipts, source))
    assert [tag for tag, _ in tags].count("tr") == 1 + len(receipts.splitlines())
    policy = next(attrs["content"] for _, attrs in tags if attrs.get("http-equiv") == "Content-Security-Policy")
    assert "script" not in dict(tags) and "script-src 'none'" in policy
    start = source.index("<ex:Umsatzerlöse".encode())
    end = source.index(b">", source.index(b"</ex:Umsatz", start)) + 1
    assert 'unit u<"\\>: xbrli:pure' in text and f"bytes {start}-{end}: -0.50" in text


@pytest.fixture(scope="module")
def chrome():
    driver = browser.chrome()
    yield driver
    driver.quit()


@contextlib.contextmanager
def shown(chrome, page):
    """Serves the page and opens it: (receipts outlined by the page's script,
    every request the server got)."""
    with browser.serve({"/page.html": page.encode("utf-8")}) as (base, requests):
        chrome.get(base + "/page.html")
        yield browser.wait_ready(chrome), requests


def test_the_example_page_outlines_every_fact_and_a_click_selects_the_other_side(chrome, example):
    eps = example.index(find(example, "ifrs-full:BasicEarningsLossPerShare", "FY2025"))
    with shown(chrome, quorrel_show.html_page(rj.jsonl(example), EXAMPLE.read_bytes())) as (count, _):
        outlined = browser.outlines(chrome)
        assert count == sum(len(o[0].split()) for o in outlined) == 28  # every stated receipt, the derived has none
        assert [o for o in outlined if o[1:] != ["solid", '"\u2713"']] == [[f"{eps} 27", "dashed", '"\u2717"']]
        assert example[9]["receipt_id"] in browser.click_fact(chrome, 9)
        chrome.find_element(By.CSS_SELECTOR, "#q-list li[data-i='27']").click()
        assert "\u2717 value_match: claimed 1.97, source has 1.96" in browser.detail_text(chrome, 27)
        chrome.find_element(By.CSS_SELECTOR, "#q-list li[data-i='28']").click()
        assert "parent" in browser.detail_text(chrome, 28)
        chrome.find_element(By.CSS_SELECTOR, "#q-detail button.q-parent").click()
        profit = example.index(find(example, "ifrs-full:ProfitLoss", "FY2025"))
        assert "ifrs-full:ProfitLoss" in browser.detail_text(chrome, profit)
        assert chrome.execute_script("return document.getElementById('q-filing').contentDocument"
                                     ".querySelector('.q-sel').getAttribute('data-q')") == str(profit)


def test_the_page_of_a_large_filing_outlines_all_its_facts(chrome):
    if not KO.is_file():
        pytest.skip("the shared corpus is not present")
    source = KO.read_bytes()
    receipts = rj.lines(quorrel.receipts_for_bytes(source, KO.name, KO.name))
    with shown(chrome, quorrel_show.html_page(rj.jsonl(receipts), source)) as (count, _):
        assert count == len(browser.outlines(chrome)) == len(receipts) == 2530
        assert receipts[1234]["receipt_id"] in browser.click_fact(chrome, 1234)


@pytest.mark.parametrize("sanitised", [True, False], ids=["both defences", "policy and sandbox alone"])
def test_a_hostile_page_sends_no_request_and_runs_none_of_the_filing_code(chrome, hostile, sanitised, monkeypatch):
    if not sanitised:
        # The second defence must hold on its own: the filing's markup goes
        # into the frame as it came, scripts, handlers and URLs included.
        monkeypatch.setattr(quorrel_show, "_DROPPED", set())
        monkeypatch.setattr(quorrel_show, "_UNWRAPPED", set())
        monkeypatch.setattr(quorrel_show, "clean_css", lambda css: css)
        monkeypatch.setattr(quorrel_show._Sanitiser, "_attributes",
                            lambda self, tag, attrs: "".join(f" {n}={quorrel_show._quoted(v)}" for n, v in attrs))
    with shown(chrome, quorrel_show.html_page(rj.jsonl(hostile), HOSTILE.read_bytes())) as (count, requests):
        assert count == len(browser.outlines(chrome)) == 3
        assert hostile[1]["receipt_id"] in browser.click_fact(chrome, 1)
        browser.click_in_frame(chrome, "#js-link")
        time.sleep(1)  # room for anything the filing might have set off
        markers = chrome.execute_script("var w = document.getElementById('q-filing').contentWindow;"
                                        "return [window.pwned, w.pwned, document.title, w.document.title]")
        assert markers[:2] == [None, None] and "pwned" not in markers[2] + markers[3]
        assert requests == ["/page.html"]
