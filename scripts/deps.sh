#!/usr/bin/env bash
# Installs what building and testing need, when it is missing (Debian), and
# says in one line what it installed.
set -euo pipefail

packages=(
  cmake g++ make pkg-config python3 util-linux procps
  libsqlite3-dev libssl-dev librsync-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  inotify-tools sqlite3 openssl git
  man-db groff-base clang-14 libclang-rt-14-dev acl
  rsync vim tar
)


missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "packages already present"
  exit 0
fi
# apt's and dpkg's progress lines (-qq does not silence dpkg) go to a log
# that is shown only when the installation fails: one line otherwise.
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp "${TMPDIR:-/tmp}/tide-deps.XXXXXX")
trap 'rm -f "$log"' EXIT
if ! { apt-get update -qq && apt-get install -y -qq -o Dpkg::Use-Pty=0 "${missing[@]}"; } >"$log" 2>&1 </dev/null; then
  cat "$log" >&2
  echo "installing failed: ${missing[*]}" >&2
  exit 1
fi
echo "installed: ${missing[*]}"
