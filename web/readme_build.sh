#!/usr/bin/env bash
# readme_build.sh - runs the README's web build line exactly as it stands,
# from the top of the source tree and without NODE_PATH, then checks that it
# made the page. CI runs it, so that the line a reader copies keeps working.
#
#   web/readme_build.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# The one code span in the README that builds the page.
# shellcheck disable=SC2016  # backticks to match, not to run
line=$(grep -o '`[^`]*emcmake cmake -S web -B build-web[^`]*`' README.md | tr -d '`')
if [ -z "$line" ] || [ "$(printf '%s\n' "$line" | wc -l)" -ne 1 ]; then
  echo "readme_build.sh: README.md has no single web build line" >&2
  exit 1
fi
echo "readme_build.sh: $line" >&2
env -u NODE_PATH bash -euo pipefail -c "$line"
for made in build-web/trirotor.html build-web/site/index.html build-web/site/trirotor_engine.js; do
  if [ ! -s "$made" ]; then
    echo "readme_build.sh: the line did not make $made" >&2
    exit 1
  fi
done
echo "readme_build.sh: built build-web/trirotor.html and build-web/site/" >&2
