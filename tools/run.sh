#!/usr/bin/env bash
# The main job: builds the project (Release, build dir build-run/), lays down
# the demo folder demo/ (two simulated boards with configured motors and a
# table settings file with two tables) and starts ordomat there on the
# simulated FTDI bus when no FTDI chip is attached. Without a display it uses Qt's offscreen platform.
#
# ordomat ends when its window is closed, on Ctrl+C (SIGINT) or on SIGTERM.
# KINETRAX_DEMO_SECONDS=N ends it after N seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
kx_install_deps

root=$PWD
build=$root/build-run
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target ordomat ordomat-demo -j "$(nproc)"

"$build/utility/ordomat-demo" "$root/demo"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display (DISPLAY and WAYLAND_DISPLAY are unset): running on Qt's offscreen platform, no window will show."
  export QT_QPA_PLATFORM=offscreen
fi
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then   # Qt wants a private runtime directory
  export XDG_RUNTIME_DIR=$build/runtime
  mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
fi
# Real boards when an FTDI chip is attached, else the simulated bus; a
# KINETRAX_FTDI set by the caller wins.
if [ -z "${KINETRAX_FTDI:-}" ]; then
  if grep -qsx 0403 /sys/bus/usb/devices/*/idVendor; then
    echo "An FTDI device is attached: using real boards (KINETRAX_FTDI=sim forces the simulated bus)."
    export KINETRAX_FTDI=libftdi
  else
    export KINETRAX_FTDI=sim
  fi
fi
boards="simulated boards SIM0001 and SIM0002"
[ "$KINETRAX_FTDI" = sim ] || boards="FTDI bus: $KINETRAX_FTDI"

cd "$root/demo"
seconds=${KINETRAX_DEMO_SECONDS:-}
if [ -z "$seconds" ]; then
  echo "Starting ordomat in demo/ ($boards). Ctrl+C ends it."
  exec "$build/utility/ordomat"
fi
case $seconds in
  ''|*[!0-9]*) echo "KINETRAX_DEMO_SECONDS must be a whole number of seconds" >&2; exit 2 ;;
esac
echo "Starting ordomat in demo/ for $seconds s ($boards)."
# timeout sends SIGTERM after that time (and passes Ctrl+C on); ordomat's status is the result.
exec timeout --preserve-status -s TERM "${seconds}s" "$build/utility/ordomat"
