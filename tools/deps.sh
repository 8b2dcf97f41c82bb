# Installs the Debian packages the build and the tests need, when any is missing.
# Sourced by tools/test.sh and tools/run.sh.
KX_PACKAGES="build-essential cmake g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev libinih-dev libftdi1-dev libusb-1.0-0-dev gcc-multilib g++-multilib
  fonts-dejavu-core clang"
kx_install_deps() {
  local missing=""
  for p in $KX_PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
  done
  if [ -n "$missing" ]; then
    echo "Installing:$missing"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing
  fi
}
