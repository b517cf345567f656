#!/usr/bin/env bash
# Debian sid in a folder, for the py3.14 lane: Debian's own python3.14 needs
# sid's C library, newer than this machine's, so the lane runs inside a sid
# root made with debootstrap and entered by chroot.
#
#   scripts/sid_root.sh make        makes the root when missing or when its
#                                   recipe changed; prints what it holds
#   scripts/sid_root.sh run CMD...  CMD inside the root, in the checkout
#
# The root lives in ${TVLIB_CACHE:-~/.cache/tvlib}/sid-root. `run` mounts the
# checkout, the compiler cache and pip's downloads at their own paths inside
# it, so paths agree inside and out. Every run mounts in a mount namespace of
# its own: its mounts are seen by nothing else (runs side by side do not
# touch each other's) and vanish with it, however it ends; the trap below
# also undoes them in order. A run holds a shared lock on the root, its
# rebuild an exclusive one, so the root is never replaced under a run.
set -euo pipefail
[ "$(id -u)" = 0 ] || exec sudo --preserve-env "$0" "$@"
cd "$(dirname "$0")/.."
checkout=$PWD
cache=${TVLIB_CACHE:-$HOME/.cache/tvlib}
root=$cache/sid-root
stamp=$root/tvlib-root

mirror=http://deb.debian.org/debian
# The interpreter, what building tvlib takes (setup.sh's build_packages, by
# sid's names), and what the Qt 6 suite runs: squid and openssl for the proxy
# tests, mount for the full-disk case.
packages=(
  python3.14 python3.14-venv python3.14-dev
  g++ ccache pkg-config libcurl4-openssl-dev libssl-dev libsodium-dev
  libgl1 libegl1 libxkbcommon0 libxkbcommon-x11-0 libfontconfig1 libdbus-1-3
  libglib2.0-0t64 libxcb-cursor0
  squid-openssl openssl mount
)
build_root() {  # build_root DIR, in a mount namespace of its own
  debootstrap --variant=minbase --include=ca-certificates sid "$1" "$mirror" >&2
  # Installed as tools: no service starts.
  printf '#!/bin/sh\nexit 101\n' >"$1/usr/sbin/policy-rc.d"
  chmod +x "$1/usr/sbin/policy-rc.d"
  mount -t proc proc "$1/proc"
  mount --rbind /dev "$1/dev"
  chroot "$1" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${packages[@]}" >&2
  chroot "$1" apt-get clean
}
recipe_id() {
  { declare -f build_root; declare -p packages mirror; } | sha256sum | cut -c1-12
}

# Removes a tree only when nothing is mounted in it (the checkout is, while a
# run is inside), and never crosses into another file system.
remove_tree() {  # remove_tree DIR
  [ -e "$1" ] || return 0
  local dir
  dir=$(realpath "$1")
  if awk -v d="$dir" '$5 == d || index($5, d "/") == 1 { found = 1 } END { exit !found }' \
    /proc/self/mountinfo; then
    echo "sid_root: something is mounted under $dir; not removing it" >&2
    return 1
  fi
  rm -rf --one-file-system "$dir"
}

lock() {  # lock -s|-x: the root's lock, held until this process and its children end
  mkdir -p "$cache"
  exec 9>"$cache/sid-root.lock"
  flock "$1" 9
}

make_root() {
  lock -x
  local id new=$root.new
  id="recipe $(recipe_id)"
  if [ "$(head -1 "$stamp" 2>/dev/null)" != "$id" ]; then
    local log=$cache/sid-root.log
    echo "setup: making Debian sid's root in $root (debootstrap, python3.14, build tools; log: $log)" >&2
    # Made aside and moved in place once whole: a root without its stamp is
    # never used. Its mounts end with the namespace, before any removal.
    remove_tree "$new"
    if ! unshare --mount --propagation private bash -c \
      "set -euo pipefail; $(declare -p packages mirror); $(declare -f build_root); build_root '$new'" \
      2>"$log"; then
      tail -30 "$log" >&2
      echo "setup: making Debian sid's root failed" >&2
      remove_tree "$new"
      return 1
    fi
    local version
    version=$(chroot "$new" dpkg-query -W -f='${Version}' python3.14)
    printf '%s\npython3.14 %s\n' "$id" "$version" >"$new/tvlib-root"
    remove_tree "$root"
    mv "$new" "$root"
  fi
  echo "setup: Debian sid's root in $root: $(sed -n 2p "$stamp")" >&2
}

# Inside the run's own mount namespace: mount, enter, undo.
mounted=()
enter() {  # enter CMD...
  # Only ever in a namespace of its own, never in the machine's.
  if [ "$(readlink /proc/self/ns/mnt)" = "$(readlink /proc/1/ns/mnt)" ]; then
    echo "sid_root: not in a mount namespace of its own" >&2
    return 1
  fi
  undo() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -R "${mounted[i]}" || true; done
    mounted=()
  }
  trap undo EXIT
  bind() {  # bind WHAT WHERE-INSIDE [OPTIONS...]
    local what=$1 where=$root$2; shift 2
    mkdir -p "$where"
    mount "$@" "$what" "$where"
    mounted+=("$where")
  }
  bind proc /proc -t proc
  bind /dev /dev --rbind
  bind tmpfs /tmp -t tmpfs -o mode=1777
  bind "$checkout" "$checkout" --bind
  # The compiler cache and pip's downloads, shared with the other lanes.
  local ccache_dir=${CCACHE_DIR:-$cache/ccache}
  mkdir -p "$ccache_dir" "$HOME/.cache/pip"
  case $ccache_dir/ in "$checkout"/*) ;; *) bind "$ccache_dir" "$ccache_dir" --bind ;; esac
  bind "$HOME/.cache/pip" /root/.cache/pip --bind
  # The machine's certificate authorities, so that TLS (pip's downloads
  # through a site's proxy among it) verifies as it does outside.
  bind /etc/ssl/certs /etc/ssl/certs --bind -o ro
  cp --remove-destination /etc/resolv.conf /etc/hosts "$root/etc/"
  local user=()
  [ -z "${SUDO_UID:-}" ] || user=(--userspec="$SUDO_UID:$SUDO_GID")
  # In the background, so that a signal to this script reaches the command
  # (as TERM: a background command ignores INT) instead of waiting for it to
  # end; its standard input stays this script's.
  env -u TMPDIR -u XDG_RUNTIME_DIR -u LD_LIBRARY_PATH -u LD_PRELOAD \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    chroot "${user[@]}" "$root" /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$checkout" "$@" <&0 &
  local child=$! status=0
  trap 'kill -TERM "$child" 2>/dev/null' INT TERM HUP
  # wait returns early when a signal comes; the command's own status is the
  # one it returns once the command has ended.
  while :; do
    if wait "$child"; then status=0; else status=$?; fi
    kill -0 "$child" 2>/dev/null || break
  done
  return "$status"
}

run_in_root() {  # run_in_root CMD...
  [ -f "$stamp" ] || { echo "sid_root: no root in $root: run scripts/setup.sh py3.14" >&2; return 1; }
  lock -s
  exec unshare --mount --propagation private "$checkout/scripts/sid_root.sh" __enter "$@"
}

# Each branch exits: bash reads a script as it goes, and a run outlasts edits
# of this file (a checkout of another branch).
case ${1:-} in
  make) make_root; exit ;;
  run) shift; run_in_root "$@"; exit ;;
  __enter) shift; enter "$@"; exit ;;
  *) echo "usage: $0 make | run COMMAND..." >&2; exit 2 ;;
esac
