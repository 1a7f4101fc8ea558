#!/usr/bin/env python3
"""Decode speed of the WebAssembly engine in Chromium and in Node.js against
the native engine, on the same message in the same run; and the time from
opening the page to the engine being ready.

    web/bench/bench.py --page-build build-web --build build [--megabytes 24] [--rounds 5]

--build is a main build with tests or benchmarks on (it holds the tool and
trirotor_web_native_bench). Prints a table; figures are the best of
--rounds decodes of one message, in MB of base64 per second.
"""
import argparse
import functools
import http.server
import json
import pathlib
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

KEY = "benchmark key"

NODE_DECODE = """
const fs = require('fs');
const [engineFile, messageFile, key, rounds] = process.argv.slice(1);
const units = (s) => Uint16Array.from(s, (c) => c.charCodeAt(0));
require(engineFile)().then((engine) => {
  const message = new Uint8Array(fs.readFileSync(messageFile));
  const seconds = [];
  for (let r = 0; r < Number(rounds); r += 1) {
    const start = process.hrtime.bigint();
    const outcome = engine.decode(message, units(key), units(''));
    seconds.push(Number(process.hrtime.bigint() - start) / 1e9);
    if (!outcome.text || outcome.lastError !== 0) throw new Error('did not decode');
  }
  console.log(JSON.stringify({ bytes: message.length, seconds }));
});
"""

BENCH_WORKER = """
importScripts('trirotor_engine.js');
const units = (s) => Uint16Array.from(s, (c) => c.charCodeAt(0));
onmessage = async (event) => {
  const { key, rounds } = event.data;
  const engine = await TrirotorEngine();
  const message = new Uint8Array(await (await fetch('message.b64')).arrayBuffer());
  const seconds = [];
  for (let r = 0; r < rounds; r += 1) {
    const start = performance.now();
    const outcome = engine.decode(message, units(key), units(''));
    seconds.push((performance.now() - start) / 1000);
    if (!outcome.text || outcome.lastError !== 0) throw new Error('did not decode');
  }
  postMessage({ bytes: message.length, seconds });
};
"""

RUN_IN_WORKER = """
const done = arguments[arguments.length - 1];
const worker = new Worker('bench_worker.js');
worker.onmessage = (event) => done(event.data);
worker.onerror = (event) => done({ error: event.message });
worker.postMessage({ key: arguments[0], rounds: arguments[1] });
"""


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def chromium(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", f"--user-data-dir={profile}"):
        options.add_argument(flag)
    service = Service(shutil.which("chromedriver") or "/usr/bin/chromedriver")
    return webdriver.Chrome(service=service, options=options)


def make_message(tool, folder, megabytes):
    generator = random.Random(11)
    words = ["".join(generator.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(generator.randint(2, 9)))
             for _ in range(4000)]
    line = " ".join(generator.choice(words) for _ in range(200000)) + "\n"
    text = line * max(1, megabytes * 1_000_000 // len(line))
    (folder / "plain.txt").write_text(text, encoding="ascii")
    subprocess.run([tool, "encode", "--key", KEY, "-o", str(folder / "message.b64"), str(folder / "plain.txt")],
                   check=True)
    return folder / "message.b64"


def best_rate(result):
    if "error" in result:
        sys.exit(f"bench: {result['error']}")
    return result["bytes"] / min(result["seconds"]) / 1e6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--page-build", type=pathlib.Path, required=True)
    parser.add_argument("--build", type=pathlib.Path, required=True)
    parser.add_argument("--megabytes", type=int, default=24, help="size of the plain text")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--loads", type=int, default=15, help="page loads timed")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="trirotor-webbench-") as scratch:
        scratch = pathlib.Path(scratch)
        site = scratch / "site"
        shutil.copytree(args.page_build / "site", site)
        message = make_message(args.build / "trirotor", site, args.megabytes)
        (site / "bench_worker.js").write_text(BENCH_WORKER, encoding="utf-8")
        (site / "bench.html").write_text("<!doctype html><title>bench</title>", encoding="utf-8")

        rates = {}
        native = subprocess.run([args.build / "trirotor_web_native_bench", message, KEY, "", str(args.rounds)],
                                check=True, capture_output=True, text=True).stdout
        rates["native"] = best_rate(json.loads(native))
        node = subprocess.run(["node", "-e", NODE_DECODE, str((args.page_build / "trirotor_engine.js").resolve()),
                               str(message), KEY, str(args.rounds)], check=True, capture_output=True, text=True).stdout
        rates["Node.js"] = best_rate(json.loads(node))

        handler = functools.partial(QuietHandler, directory=str(site))
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        base = f"http://127.0.0.1:{server.server_address[1]}"
        driver = chromium(scratch / "profile")
        try:
            driver.set_script_timeout(600)
            driver.get(f"{base}/bench.html")
            rates["Chromium"] = best_rate(driver.execute_async_script(RUN_IN_WORKER, KEY, args.rounds))

            loads = {}
            for name, url in (("single file", (args.page_build / "trirotor.html").resolve().as_uri()),
                              ("served", f"{base}/index.html")):
                times = []
                for _ in range(args.loads):
                    driver.get("about:blank")
                    driver.get(url)
                    WebDriverWait(driver, 30).until(
                        lambda d: d.execute_script("return document.documentElement.dataset.readyMs"))
                    times.append(int(driver.execute_script("return document.documentElement.dataset.readyMs")))
                loads[name] = times
        finally:
            driver.quit()
            server.shutdown()

    print(f"decode, best of {args.rounds}, message of {json.loads(native)['bytes'] / 1e6:.1f} MB of base64:")
    for name, rate in rates.items():
        print(f"  {name:<10} {rate:8.1f} MB/s   {rate / rates['native']:.2f} of native")
    for name, times in loads.items():
        print(f"page load to ready, {name}: median {statistics.median(times)} ms, "
              f"min {min(times)}, max {max(times)} over {len(times)} loads")


if __name__ == "__main__":
    main()
