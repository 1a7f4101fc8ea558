#!/usr/bin/env python3
"""Puts the page together, twice:

- the single file: the style, the page script and the worker (the engine's
  script, WebAssembly inside, followed by worker.js) all inline, under a
  Content-Security-Policy that allows exactly those inline blocks by hash;
- the served copy: index.html with style.css, page.js, worker.js,
  trirotor_engine.js and fflate.js beside it.

With --zip, the worker carries the zip library (its licence above it) for
the zip of several decoded files; without, site/fflate.js is a stub and the
page offers no zip.

    bundle.py --page DIR --engine trirotor_engine.js --single OUT.html --site DIR
              [--zip fflate/umd/index.js --zip-licence fflate/LICENSE]
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
    parser.add_argument("--zip", type=pathlib.Path)
    parser.add_argument("--zip-licence", type=pathlib.Path)
    args = parser.parse_args()

    template = (args.page / "index.html").read_text(encoding="utf-8")
    style = (args.page / "style.css").read_text(encoding="utf-8")
    script = (args.page / "page.js").read_text(encoding="utf-8")
    worker = (args.page / "worker.js").read_text(encoding="utf-8")
    engine = args.engine.read_text(encoding="utf-8")
    zip_library = "/* built without npm: no zip library */\n"
    if args.zip:
        licence = args.zip_licence.read_text(encoding="utf-8") if args.zip_licence else ""
        if "*/" in licence:
            raise SystemExit("bundle.py: the zip library's licence cannot sit in a comment")
        zip_library = ("/* fflate, vendored from npm (version pinned in web/package-lock.json)\n"
                       + licence + "*/\n" + inline_safe(args.zip.read_text(encoding="utf-8"), str(args.zip)) + "\n")

    style_block = "\n" + inline_safe(style, "style.css")
    script_block = "\n" + inline_safe(script, "page.js")
    worker_block = (inline_safe(engine, "the engine") + "\n" + (zip_library if args.zip else "")
                    + inline_safe(worker, "worker.js"))
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
    (args.site / "fflate.js").write_text(zip_library, encoding="utf-8")


if __name__ == "__main__":
    main()
