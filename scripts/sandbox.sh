#!/usr/bin/env bash
# Runs a command inside a throw-away appliance: a private mount namespace with
# tmpfs over /tmp, /var/run, /volume1, /var/log/tdwl and /var/packages, and
# the appliance's files generated inside it. Nothing it writes reaches the
# host, and mount points it had to create on the host are removed afterwards.
#
#   scripts/sandbox.sh [--volume-size SIZE | --volume-image FILE] [--users "alice bob"] [--build DIR]
#                      -- COMMAND [ARG...]
#
# --volume-size  limits /volume1 (e.g. 4m) for disk-full tests; default 1g.
# --volume-image mounts FILE, a file system image (ext4, btrfs), through a loop
#                device as /volume1 instead of tmpfs: a volume on a disk. The
#                loop device goes with the sandbox's mount namespace.
# Inside, the command sees:
#   TIDE_SRC    the source tree     TIDE_BUILD  the build tree
# both reachable even when they live under a path the sandbox covers (/tmp).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
src_dir=$(cd "$here/.." && pwd)
build_dir="$src_dir/build"
volume_size=1g
volume_image=""
users="alice"

while [ $# -gt 0 ]; do
  case "$1" in
    --volume-size) volume_size=$2; shift 2 ;;
    --volume-image) volume_image=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
    --users) users=$2; shift 2 ;;
    --build) build_dir=$(cd "$2" && pwd); shift 2 ;;
    --inside) shift; break ;;
    --) shift; break ;;
    *) echo "sandbox: unknown option $1" >&2; exit 2 ;;
  esac
done

covered=(/tmp /var/run /volume1 /var/log/tdwl /var/packages)

generate_layout() {
  local etc=/var/packages/Tidewell/etc target_etc=/var/packages/Tidewell/target/etc
  mkdir -p "$etc" "$target_etc" /volume1/@tidewell/@clientd /volume1/@tidewell/@sync /volume1/homes
  chmod 1777 /tmp
  printf 'db-vol=/volume1\n' > "$etc/db-path.conf"
  printf 'homes=/volume1/homes\n' > "$etc/shares.conf"
  for user in $users; do mkdir -p "/volume1/homes/$user"; done
  # Components at the default threshold, the daemon's own start-up at DEBUG.
  printf '# log thresholds per component (7 = everything)\nclient_debug=7\n' > "$target_etc/syncfolder_c.debug"
  cat > "$target_etc/filter" <<'FILTER'
[Version]
major = 1
minor = 1

[Common]
black_char = "\\/:*?\"<>|"
black_prefix = "~$", ".~lock."
black_name = "Thumbs.db", "desktop.ini", ".DS_Store", "@eaDir", "#recycle"
max_length = 255
max_path = 4095

[File]
black_ext = "tmp", "part"
max_size = 0

[Directory]
black_name = "@tmp", "tide-clientd.tmp.dir"

[EA]
black_ea_name = "com.apple.quarantine"
FILTER
}

if [ "${1:-}" = "__inside__" ]; then
  shift
  # Keep the trees reachable through this shell's descriptors before the
  # tmpfs mounts may cover them.
  exec 8<"$src_dir" 9<"$build_dir"
  export TIDE_SRC=/proc/$$/fd/8 TIDE_BUILD=/proc/$$/fd/9
  mount -t tmpfs -o mode=1777 tide-tmp /tmp
  mount -t tmpfs tide-run /var/run
  if [ -n "$volume_image" ]; then
    mount -o loop "$volume_image" /volume1
    chmod 755 /volume1
  else
    mount -t tmpfs -o "size=$volume_size,mode=755" tide-volume1 /volume1
  fi
  mount -t tmpfs tide-log /var/log/tdwl
  mount -t tmpfs tide-packages /var/packages
  generate_layout
  # A working directory under a covered path no longer resolves by name
  # (some tools insist on that): move to the source tree then.
  cd "$PWD" 2>/dev/null || cd "$TIDE_SRC"
  set +e
  "$@"
  exit $?
fi

if [ "$(id -u)" != 0 ]; then
  echo "sandbox: needs root (mount namespaces and tmpfs mounts)" >&2
  exit 77
fi
[ $# -gt 0 ] || { echo "sandbox: no command given" >&2; exit 2; }

# Mount points that do not exist on the host are created for the sandbox and
# removed by the last sandbox to leave. Live sandboxes are recorded by pid, so
# one that was killed does not keep the mount points forever, and no lock is
# held while the command runs (a process left behind by a test must not block
# later sandboxes).
state=/run/lock/tide-sandbox
mkdir -p "$state/users"
with_lock() {
  exec 7>"$state/lock"
  flock -x 7
  "$@"
  flock -u 7
  exec 7>&-
}
enter() {
  for dir in /volume1 /var/log/tdwl /var/packages; do
    if [ ! -e "$dir" ]; then
      mkdir -p "$dir"
      echo "$dir" >> "$state/created"
    fi
  done
  : > "$state/users/$$"
}
leave() {
  rm -f "$state/users/$$"
  for user in "$state"/users/*; do
    [ -e "$user" ] || continue
    kill -0 "${user##*/}" 2>/dev/null || rm -f "$user"
  done
  if [ -z "$(ls -A "$state/users")" ] && [ -f "$state/created" ]; then
    # Deepest first, so /var/log/tdwl goes before anything above it.
    sort -r -u "$state/created" | while read -r dir; do rmdir "$dir" 2>/dev/null || true; done
    rm -f "$state/created"
  fi
}

with_lock enter
status=0
unshare -m --propagation private -- "$BASH" "$here/sandbox.sh" --volume-size "$volume_size" \
  ${volume_image:+--volume-image "$volume_image"} --users "$users" --build "$build_dir" --inside __inside__ "$@" || status=$?
with_lock leave
exit $status
