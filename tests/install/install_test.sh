#!/usr/bin/env bash
# install_test.sh - `cmake --install` into a temporary prefix, then the
# installed files as a packager and a client program see them: the layout,
# the library's SONAME, a C client built with pkg-config and one built with
# find_package(kinetrax), each run on the simulated bus, and the installed
# ordomat started (it finds its libraries through its RPATH) and ended with
# SIGTERM. Run by CTest; the environment comes from tests/install/CMakeLists.txt.
set -euo pipefail

tmp=$(mktemp -d /tmp/kx-install-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
fail() { echo "install_test: $*" >&2; exit 1; }

"$KX_CMAKE" --install "$KX_BUILD_DIR" --prefix "$prefix" >"$tmp/install.log" || {
  cat "$tmp/install.log" >&2; fail "cmake --install failed"; }

# The layout. The library directory is lib/ or lib/<multiarch>/.
pc=$(find "$prefix" -name kinetrax.pc)
[ -n "$pc" ] || fail "no kinetrax.pc installed"
libdir=$(dirname "$(dirname "$pc")")
for f in include/kinetrax/kinetrax.h include/kinetrax/qdxplugin.h bin/ordomat \
         lib/udev/rules.d/99-kinetrax-ftdi.rules; do
  [ -f "$prefix/$f" ] || fail "$f not installed"
done
for f in libkinetrax.so.1.0.0 libkinetrax.so.1 libkinetrax.so libgridmod.so \
         cmake/kinetrax/kinetraxConfig.cmake cmake/kinetrax/kinetraxConfigVersion.cmake \
         cmake/kinetrax/kinetraxTargets.cmake; do
  [ -e "$libdir/$f" ] || fail "${libdir#"$prefix"/}/$f not installed"
done
soname=$(objdump -p "$libdir/libkinetrax.so.1.0.0" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = libkinetrax.so.1 ] || fail "SONAME is '$soname', not libkinetrax.so.1"
# Only the public headers are installed.
extra=$(find "$prefix/include" -type f ! -name kinetrax.h ! -name qdxplugin.h)
[ -z "$extra" ] || fail "more than the public headers installed: $extra"

# Each client runs in an empty directory of its own (its configs/ go there).
run_client() { # name, program
  mkdir "$tmp/run-$1"
  (cd "$tmp/run-$1" && env -u KINETRAX_SIM_DEVICES -u LD_LIBRARY_PATH "$2") || fail "$1 client failed"
}

# pkg-config, the link line in the library's own words.
flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" "$KX_PKG_CONFIG" --cflags --libs kinetrax)
[ "$(PKG_CONFIG_PATH="$libdir/pkgconfig" "$KX_PKG_CONFIG" --modversion kinetrax)" = 1.0.0 ] ||
  fail "pkg-config reports another version"
# shellcheck disable=SC2086 # the flags are words
"$KX_CC" -std=c11 -Wall -Wextra -Werror $KX_SANITIZE_FLAGS "$KX_CLIENT_DIR/kx_client.c" \
  -o "$tmp/kx_client_pc" $flags -Wl,-rpath,"$libdir" || fail "pkg-config client does not build"
run_client pkg-config "$tmp/kx_client_pc"

# CMake's find_package.
"$KX_CMAKE" -S "$KX_CLIENT_DIR" -B "$tmp/cmake-client" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$KX_CC" -DCMAKE_C_FLAGS="$KX_SANITIZE_FLAGS" >"$tmp/cmake.log" 2>&1 || {
  cat "$tmp/cmake.log" >&2; fail "find_package client does not configure"; }
"$KX_CMAKE" --build "$tmp/cmake-client" >"$tmp/build.log" 2>&1 || {
  cat "$tmp/build.log" >&2; fail "find_package client does not build"; }
run_client find_package "$tmp/cmake-client/kx_client"

# The installed ordomat, with no library path set: up, then SIGTERM ends it in order.
missing=$(env -u LD_LIBRARY_PATH ldd "$prefix/bin/ordomat" | grep 'not found' || true)
[ -z "$missing" ] || fail "installed ordomat misses libraries: $missing"
ldd_kx=$(env -u LD_LIBRARY_PATH ldd "$prefix/bin/ordomat" | awk '$1 == "libkinetrax.so.1" {print $3}')
[ "$(realpath "$ldd_kx")" = "$(realpath "$libdir/libkinetrax.so.1")" ] ||
  fail "installed ordomat loads $ldd_kx, not the installed library"
mkdir -p "$tmp/run-ordomat/runtime" && chmod 700 "$tmp/run-ordomat/runtime"
status=0
(cd "$tmp/run-ordomat" && XDG_RUNTIME_DIR=$tmp/run-ordomat/runtime \
  env -u KINETRAX_SIM_DEVICES -u LD_LIBRARY_PATH \
  timeout --preserve-status -k 30s -s TERM 5s "$prefix/bin/ordomat" >"$tmp/ordomat.log" 2>&1) || status=$?
[ "$status" = 0 ] || { cat "$tmp/ordomat.log" >&2; fail "installed ordomat ended with status $status"; }
echo "ok: installed under $prefix; pkg-config and find_package clients ran; ordomat ran"
