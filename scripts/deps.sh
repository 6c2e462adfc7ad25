#!/usr/bin/env bash
# Installs the Debian 12 packages Kelva builds and runs with, when they are missing.
# As root it installs them with apt-get; otherwise it names the missing ones and fails.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache
  libsqlite3-dev sqlite3
  zlib1g-dev libssl-dev
  libfuse3-dev fuse3
  libudev-dev libnotify-dev libglib2.0-dev dbus-daemon
  googletest libgtest-dev libgmock-dev libbenchmark-dev libfwnt-dev
  clang libclang-rt-14-dev
  udftools 7zip udfclient
  rsync attr
  systemd
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "kelva: these Debian packages are missing: ${missing[*]}" >&2
  echo "kelva: install them as root: apt-get install ${missing[*]}" >&2
  exit 1
fi

echo "kelva: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
