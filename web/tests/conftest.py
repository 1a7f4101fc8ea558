"""Fixtures for the page's browser tests: the built page, a local server for
the served copy, and headless Chromium opening either that or the single
file from disk with the network switched off. Every test ends by checking
that neither the page nor its worker met a policy violation or logged an
error."""
import functools
import http.server
import pathlib
import shutil
import subprocess
import tempfile
import threading

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"

# Installed before any script of the page runs: records every Content-Security-
# Policy violation, so a test can tell the policy lets the page work as it is.
RECORD_VIOLATIONS = """
window.__violations = [];
document.addEventListener('securitypolicyviolation',
  (e) => window.__violations.push(e.violatedDirective + ' ' + e.blockedURI));
"""


def pytest_addoption(parser):
    parser.addoption("--page-build", required=True, help="the emscripten build directory of web/")
    parser.addoption("--tool", required=True, help="the native trirotor tool")
    parser.addoption("--tables", required=True, help="the native trirotor_codepage_tables")
    parser.addoption("--screenshot", default=None, help="where to write the page's screenshot")


@pytest.fixture(scope="session")
def page_build(request):
    return pathlib.Path(request.config.getoption("--page-build"))


@pytest.fixture(scope="session")
def options(request):
    return request.config


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@pytest.fixture(scope="session")
def served_url(page_build):
    handler = functools.partial(QuietHandler, directory=str(page_build / "site"))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}/index.html"
    server.shutdown()
    server.server_close()


@pytest.fixture(scope="session")
def downloads():
    with tempfile.TemporaryDirectory(prefix="trirotor-downloads-") as path:
        yield pathlib.Path(path)


def start_chromium(offline, downloads, profile):
    chrome = webdriver.ChromeOptions()
    chrome.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1000,1000", f"--user-data-dir={profile}"):
        chrome.add_argument(flag)
    if offline:
        # Nothing resolves and every request would go to a closed port.
        chrome.add_argument("--host-resolver-rules=MAP * ~NOTFOUND")
        chrome.add_argument("--proxy-server=127.0.0.1:9")
    # The browser's log holds the worker's console too (its source is "worker"),
    # where the page's own listener cannot see.
    chrome.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    chrome.add_experimental_option("prefs", {"download.default_directory": str(downloads),
                                             "download.prompt_for_download": False})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=chrome)
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": RECORD_VIOLATIONS})
    driver.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": str(downloads)})
    if offline:
        driver.execute_cdp_cmd("Network.enable", {})
        driver.execute_cdp_cmd("Network.emulateNetworkConditions", {
            "offline": True, "latency": 0, "downloadThroughput": 0, "uploadThroughput": 0})
    return driver


@pytest.fixture(scope="session", params=["served", "file"])
def browser(request, page_build, served_url, downloads):
    """(driver, url): the served copy over HTTP, or trirotor.html from disk offline."""
    offline = request.param == "file"
    with tempfile.TemporaryDirectory(prefix="trirotor-chromium-") as profile:
        driver = start_chromium(offline, downloads, profile)
        url = (page_build / "trirotor.html").resolve().as_uri() if offline else served_url
        try:
            yield driver, url
        finally:
            driver.quit()


def complaints(log):
    """The entries of the browser's log that say something went wrong: errors
    from any source, the page's or the worker's, and any word of the policy."""
    return [f"{entry['source']}: {entry['message'][:300]}" for entry in log
            if entry["level"] == "SEVERE" or "Content Security Policy" in entry["message"]]


@pytest.fixture
def page(browser):
    driver, url = browser
    driver.set_window_size(1000, 1000)
    driver.get_log("browser")  # what earlier tests left
    driver.get(url)
    WebDriverWait(driver, 30).until(lambda d: d.find_element(By.ID, "decode").is_enabled())
    yield driver
    assert driver.execute_script("return window.__violations") == []
    assert complaints(driver.get_log("browser")) == []


@pytest.fixture(scope="session")
def native_tables(options):
    def tables(pages):
        out = subprocess.run([options.getoption("--tables"), *map(str, pages)], check=True,
                             capture_output=True, text=True).stdout
        return out
    return tables
