#!/usr/bin/env bash
# Installs what building and testing need, when it is missing (Debian).
set -euo pipefail

packages=(
  cmake g++ make pkg-config python3 util-linux procps
  libsqlite3-dev libssl-dev librsync-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  inotify-tools sqlite3 openssl git
  man-db groff-base clang-14 libclang-rt-14-dev acl
)


missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
