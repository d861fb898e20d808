#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the interop peers need.
# Quick when everything is already there; needs root (or sudo) only when something is missing.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build pkg-config
  libssl-dev libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  coturn stun-client iproute2 procps
  qt6-base-dev xvfb xauth
  libcpp-httplib-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
# coturn's package may start its own service on real machines; the tests run their own instances.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet coturn 2>/dev/null; then
  $SUDO systemctl stop coturn || true
fi
