# shellcheck shell=bash
# .ci/lint.sh - the lint step: shellcheck on the shell scripts, pyflakes on
# the Python, clang-format in check mode on the C++ and eslint on the page's
# scripts. Sourced by .ci/run, which calls step_lint from the repository's
# root; the tools come from scripts/install-deps.sh lint.
#
# Files are those git knows of or would add (tracked, or new and not
# ignored), so a new file is linted before it is committed.

lint_files() { git ls-files --cached --others --exclude-standard -- "$@"; }

step_lint() {
  scripts/install-deps.sh lint || return 1
  local failed=0 files=()

  mapfile -t files < <(lint_files .ci/run '*.sh')
  echo "lint: shellcheck, ${#files[@]} scripts"
  shellcheck "${files[@]}" || failed=$((failed + 1))

  # pyflakes: ruff is not packaged in Debian bookworm, and flake8's style
  # checks would ask for a reformatted tree; pyflakes finds the faults.
  mapfile -t files < <(lint_files '*.py')
  echo "lint: pyflakes, ${#files[@]} files"
  pyflakes3 "${files[@]}" || failed=$((failed + 1))

  local exclude=.ci/clang-format-exclude listed=() path
  mapfile -t listed < <(grep -v -e '^#' -e '^$' "$exclude")
  for path in "${listed[@]}"; do
    [[ -f "$path" ]] || { echo "lint: $exclude lists $path, which is not there"; failed=$((failed + 1)); }
  done
  mapfile -t files < <(lint_files '*.cpp' '*.h' | grep -vxF -f <(printf '%s\n' "${listed[@]}"))
  echo "lint: clang-format, ${#files[@]} files (${#listed[@]} excluded)"
  clang-format --dry-run --Werror "${files[@]}" || failed=$((failed + 1))

  # Debian's eslint keeps its modules in /usr/share/nodejs, where a Node.js
  # from elsewhere does not look; the unix formatter needs no colour module.
  mapfile -t files < <(lint_files 'web/page/*.js')
  echo "lint: eslint, ${#files[@]} files"
  NODE_PATH="/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}" \
    eslint --no-eslintrc -c .ci/eslint.json -f unix "${files[@]}" || failed=$((failed + 1))

  if ((failed > 0)); then
    echo "lint: $failed check(s) failed"
    return 1
  fi
  echo "lint: clean"
}
