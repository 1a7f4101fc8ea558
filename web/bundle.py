#!/usr/bin/env python3
"""Puts the page together, twice:

- the single file: the style, the page script and the worker (the engine's
  script, WebAssembly inside, followed by worker.js) all inline, under a
  Content-Security-Policy that allows exactly those inline blocks by hash;
- the served copy: index.html with style.css, page.js, worker.js and
  trirotor_engine.js beside it.

    bundle.py --page DIR --engine trirotor_engine.js --single OUT.html --site DIR
"""
import argparse
import base64
import hashlib
import pathlib
import shutil

SINGLE_POLICY = ("default-src 'none'; script-src {script} 'wasm-unsafe-eval'; worker-src blob:; "
                 "style-src {style}; img-src data:; base-uri 'none'; form-action 'none'")
SITE_POLICY = ("default-src 'none'; script-src 'self' 'wasm-unsafe-eval'; worker-src 'self'; "
               "style-src 'self'; img-src data:; base-uri 'none'; form-action 'none'")


def digest(text):
    return "'sha256-%s'" % base64.b64encode(hashlib.sha256(text.encode("utf-8")).digest()).decode()


def inline_safe(text, what):
    # Inside <script> and <style> the first "</" + tag ends the block.
    for tag in ("</script", "</style", "<!--"):
        if tag in text.lower():
            raise SystemExit(f"bundle.py: {what} contains {tag!r} and cannot be inlined")
    return text


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--page", type=pathlib.Path, required=True)
    parser.add_argument("--engine", type=pathlib.Path, required=True)
    parser.add_argument("--single", type=pathlib.Path, required=True)
    parser.add_argument("--site", type=pathlib.Path, required=True)
    args = parser.parse_args()

    template = (args.page / "index.html").read_text(encoding="utf-8")
    style = (args.page / "style.css").read_text(encoding="utf-8")
    script = (args.page / "page.js").read_text(encoding="utf-8")
    worker = (args.page / "worker.js").read_text(encoding="utf-8")
    engine = args.engine.read_text(encoding="utf-8")

    style_block = "\n" + inline_safe(style, "style.css")
    script_block = "\n" + inline_safe(script, "page.js")
    worker_block = inline_safe(engine, "the engine") + "\n" + inline_safe(worker, "worker.js")
    single = (template
              .replace("@CSP@", SINGLE_POLICY.format(script=digest(script_block), style=digest(style_block)))
              .replace("@STYLE@", f"<style>{style_block}</style>")
              .replace("@SCRIPTS@",
                       f'<script type="text/x-trirotor-worker" id="trirotor-worker">{worker_block}</script>\n'
                       f"<script>{script_block}</script>"))
    args.single.write_text(single, encoding="utf-8")

    args.site.mkdir(parents=True, exist_ok=True)
    site = (template
            .replace("@CSP@", SITE_POLICY)
            .replace("@STYLE@", '<link rel="stylesheet" href="style.css">')
            .replace("@SCRIPTS@", '<script src="page.js"></script>'))
    (args.site / "index.html").write_text(site, encoding="utf-8")
    for name in ("style.css", "page.js", "worker.js"):
        shutil.copyfile(args.page / name, args.site / name)
    shutil.copyfile(args.engine, args.site / "trirotor_engine.js")


if __name__ == "__main__":
    main()
