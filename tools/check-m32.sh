#!/usr/bin/env bash
# Compiles the public headers for a 32-bit target so their 32-bit layout
# assertions are checked, and for the native target as C11 -pedantic.
set -euo pipefail
cd "$(dirname "$0")/.."
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
for h in driver/core/kinetrax.h driver/plugin/qdxplugin.h; do
  [ -f "$h" ] || continue
  printf '#include "%s"\nint main(void){return 0;}\n' "$PWD/$h" > "$tmp/t.c"
  cp "$tmp/t.c" "$tmp/t.cpp"
  gcc -std=c11 -Wall -Wextra -pedantic -Werror -fsyntax-only "$tmp/t.c"
  g++ -std=c++20 -Wall -Wextra -Werror -fsyntax-only "$tmp/t.cpp"
  gcc -m32 -std=c11 -Wall -Wextra -pedantic -Werror -fsyntax-only "$tmp/t.c"
  g++ -m32 -std=c++20 -Wall -Wextra -Werror -fsyntax-only "$tmp/t.cpp"
  echo "ok: $h (C11, C++20, 64 and 32 bit)"
done
