"""Headless Chromium for the page tests, the benchmark and the screenshot script
(Debian's chromium and chromedriver, given by path so that Selenium fetches no
driver), and a local HTTP server that records every request it gets."""

import contextlib
import http.server
import os
import shutil
import threading

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.actions.action_builder import ActionBuilder
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

HANG = 30  # seconds: past this a page or a click is taken to hang
PACKAGES = "chromium chromium-driver"


def _tool(*names):
    for name in names:
        found = shutil.which(name) or (os.path.exists(f"/usr/bin/{name}") and f"/usr/bin/{name}")
        if found:
            return found
    raise RuntimeError(f"no {names[0]} here: install the Debian packages {PACKAGES} (scripts/test.sh does)")


def chrome(width=1400, height=900):
    options = webdriver.ChromeOptions()
    options.binary_location = _tool("chromium", "chromium-browser")
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-default-apps",
                 "--disable-sync", f"--window-size={width},{height}"):
        options.add_argument(flag)
    # The browser must not inherit a sanitizer runtime preloaded into the tests.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    driver = webdriver.Chrome(options=options, service=Service(_tool("chromedriver"), env=env))
    driver.set_page_load_timeout(HANG)
    driver.set_script_timeout(HANG)
    return driver


def wait_ready(driver):
    """The number of receipts the page's script found outlined, once it has wired the page."""
    return int(WebDriverWait(driver, HANG).until(
        lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-outlined")))


def outlines(driver):
    """[(receipt indexes, outline style, marker text)] of every fact element the
    filing's frame draws an outline around, as the browser computed them."""
    return driver.execute_script("""
        var doc = document.getElementById("q-filing").contentDocument, out = [];
        doc.querySelectorAll("[data-q]").forEach(function (el) {
          var style = doc.defaultView.getComputedStyle(el);
          var mark = doc.defaultView.getComputedStyle(el, "::after").content;
          if (style.outlineStyle !== "none" && parseFloat(style.outlineWidth) > 0)
            out.push([el.getAttribute("data-q"), style.outlineStyle, mark]);
        });
        return out;""")


def click_in_frame(driver, selector):
    """Clicks the first element of the filing's frame that matches the selector
    with the pointer, at the middle of its first line box, as a user does."""
    x, y = driver.execute_script("""
        var frame = document.getElementById("q-filing"), el = frame.contentDocument.querySelector(arguments[0]);
        el.scrollIntoView({block: "center", inline: "center"});
        var outer = frame.getBoundingClientRect(), box = el.getClientRects()[0];
        return [outer.left + box.left + box.width / 2, outer.top + box.top + box.height / 2];""", selector)
    actions = ActionBuilder(driver)
    actions.pointer_action.move_to_location(int(x), int(y))
    actions.pointer_action.click()
    actions.perform()


def click_fact(driver, index):
    """Clicks the fact of receipt `index` in the filing and returns the text of
    the details panel once the click has selected a receipt of that fact."""
    click_in_frame(driver, f"[data-q~='{index}']")
    marks = driver.execute_script("return document.getElementById('q-filing').contentDocument"
                                  f".querySelector(\"[data-q~='{index}']\").getAttribute('data-q')")
    return detail_text(driver, *map(int, marks.split()))


def detail_text(driver, *indexes):
    """The text of the details panel, once the receipt selected is one of these."""
    selected = "var li = document.querySelector('#q-list li.q-sel'); return li && +li.getAttribute('data-i');"
    WebDriverWait(driver, HANG).until(lambda d: d.execute_script(selected) in indexes)
    return driver.find_element(By.ID, "q-detail").text


@contextlib.contextmanager
def serve(pages):
    """Serves {path: bytes} on a loopback port; yields (base URL, list of every
    request line's path, in the order received)."""
    requests = []

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            requests.append(self.path)
            body = pages.get(self.path)
            self.send_response(200 if body is not None else 404)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.end_headers()
            self.wfile.write(body or b"")

        do_POST = do_HEAD = do_GET
        log_message = lambda self, *args: None  # noqa: E731

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}", requests
    finally:
        server.shutdown()
        server.server_close()
