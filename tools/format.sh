#!/usr/bin/env bash
# Applies the code style in .clang-format to every C and C++ source and header
# under version control (driver, platform, utility, gridmod, bench, tests), in
# place. The style is written for clang-format 14; another version may lay
# some lines out differently, so it says so before it runs.
set -euo pipefail
cd "$(dirname "$0")/.."
CLANG_FORMAT=${CLANG_FORMAT:-clang-format}
if ! command -v "$CLANG_FORMAT" >/dev/null; then
  echo "format.sh: $CLANG_FORMAT not found (Debian package clang-format)" >&2
  exit 1
fi
version=$("$CLANG_FORMAT" --version)
case "$version" in
  *" version 14."*) ;;
  *) echo "format.sh: the style is written for clang-format 14; this is: $version" >&2 ;;
esac
git ls-files -z -- driver platform utility gridmod bench tests \
  | grep -zE '\.(c|cc|cpp|h|hpp)$' \
  | xargs -0 -r "$CLANG_FORMAT" -i --style=file
