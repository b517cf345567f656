#!/usr/bin/env bash
# The main job in one command: an update run of the Kolvaren plug-in against the
# stand-in release service, in the stand-in host, shown as the host shows it.
#
#   scripts/demo.sh [--manual]    the user asks for an update: 2.4.0 is downloaded and installed
#   scripts/demo.sh --automatic   a scheduled check: 2.4.0 is only announced
#   scripts/demo.sh --mandatory   a scheduled check meets a mandatory 2.4.0: installed unasked
#   scripts/demo.sh --previous    2.4.0 is installed; the user asks for the release before it
#   scripts/demo.sh --failing     four manual runs against a misbehaving service: the error paths
#
# Sets up the Qt 6 lane first (scripts/setup.sh qt6; a few minutes the first time);
# DEMO_SETUP=0 skips that, for a tvlib staged on PYTHONPATH (see the README).
# DEMO_LANE=qt6.12 (or another lane of scripts/setup.sh) runs in that lane instead;
# DEMO_PACKAGE_MIB=64 makes the newest release's package that many MiB (4 by default).
# Everything the demo writes lies in a scratch folder that is removed at the end
# (kept with KEEP_SCRATCH=1). Message boxes are answered automatically unless there is a
# screen and a terminal. Exit status 0 when the runs went the way the option shows, the
# failing option included: its errors are the point.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

usage() { grep '^#   scripts/demo.sh' "$0" | cut -c5-; }
[ $# -le 1 ] || { usage >&2; exit 2; }
case "${1:---manual}" in
  --manual | --automatic | --mandatory | --previous | --failing) option=${1:---manual} ;;
  -h | --help) usage; exit 0 ;;
  *) usage >&2; exit 2 ;;
esac
option=${option#--}

lane=${DEMO_LANE:-qt6}
if [ "${DEMO_SETUP:-1}" != 0 ]; then
  echo "demo: setting up the lane $lane (scripts/setup.sh $lane)..."
  scripts/setup.sh "$lane"
fi

py=$repo/.venv-$lane/bin/python
export PYTHONPATH="$repo/devhost${PYTHONPATH:+:$PYTHONPATH}"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kolvaren-demo.XXXXXX")
service_pid=""
cleanup() {
  if [ -n "$service_pid" ]; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  if [ "${KEEP_SCRATCH:-0}" = 1 ]; then
    echo "demo: scratch folder kept: $scratch"
  else
    rm -rf "$scratch"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# The catalogue, host folders, plug-in settings and account; the service's arguments.
service_args=()
prepared=$("$py" -m demo prepare "$option" "$scratch")
[ -z "$prepared" ] || mapfile -t service_args <<<"$prepared"

"$py" -u -m releaseservice --catalogue "$scratch/catalogue" --state-dir "$scratch/service" \
  "${service_args[@]}" >"$scratch/service.log" 2>&1 &
service_pid=$!
for _ in $(seq 100); do
  [ -f "$scratch/service/service.json" ] && break
  kill -0 "$service_pid" 2>/dev/null || break
  sleep 0.1
done
if [ ! -f "$scratch/service/service.json" ]; then
  echo "demo: the release service did not start:" >&2
  cat "$scratch/service.log" >&2
  exit 1
fi
service_value() { "$py" -c 'import json, sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' \
  "$scratch/service/service.json" "$1"; }

# What a host machine would have: the deployment's address (here overridden), the CA that
# signed the service's certificate, the account file, the host's folders and its year.
export KOLVAREN_BASE_URL KOLVAREN_CA_BUNDLE
KOLVAREN_BASE_URL=$(service_value base_url)
KOLVAREN_CA_BUNDLE=$(service_value ca_pem_path)
export KOLVAREN_ACCOUNT_FILE=$scratch/account/account.json
export PYMXS_MAXDATA=$scratch/maxdata PYMXS_TEMPDIR=$scratch/temp PYMXS_RELEASE_YEAR=2026
# On a screen the host gets a window; without one (or without the Qt plug-in's libraries)
# it runs offscreen.
if [ -z "${QT_QPA_PLATFORM:-}" ]; then
  if [ -n "${WAYLAND_DISPLAY:-}" ]; then
    export QT_QPA_PLATFORM="wayland;xcb;offscreen"
  elif [ -n "${DISPLAY:-}" ]; then
    export QT_QPA_PLATFORM="xcb;offscreen"
  else
    export QT_QPA_PLATFORM=offscreen
  fi
fi

TMPDIR=$scratch/temp "$py" -m demo run "$option" "$scratch"
