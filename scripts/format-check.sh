#!/usr/bin/env bash
# Checks that the C++ sources follow .clang-format: the git-tracked *.cpp and *.h files of src/,
# platform/, server/, tests/, bench/, fuzz/ and examples/ (not include/, not *.inc). Lists each file
# that clang-format would change and fails; --fix rewrites them in place instead.
# Usage: scripts/format-check.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."
fix=0
case ${1:-} in
  '') ;;
  --fix) fix=1 ;;
  -h|--help) sed -n '2,5p' "$0"; exit 0 ;;
  *) echo "unknown option: $1 (usage: $0 [--fix])" >&2; exit 2 ;;
esac
scripts/install-deps.sh clang-format
mapfile -t files < <(git ls-files -- {src,platform,server,tests,bench,fuzz,examples}/'*.cpp' {src,platform,server,tests,bench,fuzz,examples}/'*.h')
if [ "$fix" -eq 1 ]; then
  clang-format -i --style=file "${files[@]}"
  exit 0
fi
bad=()
for f in "${files[@]}"; do
  clang-format --dry-run -Werror --style=file "$f" >/dev/null 2>&1 || bad+=("$f")
done
[ ${#bad[@]} -eq 0 ] || { printf '%s\n' "${bad[@]}" "not formatted: run scripts/format-check.sh --fix" >&2; exit 1; }
echo "${#files[@]} files formatted as .clang-format says"
