#!/usr/bin/env bash
# The main job: installs what is missing (Debian 12, as root), builds a Release host and starts it
# with the example skin in examples/demo, whose workflow synchronises the content repository in
# examples/demo/repository, served on 127.0.0.1 for the run. Without a display it runs under Xvfb:
# the page starts the workflow by itself, the window's picture is saved and its path printed, and
# the host ends. The exit code is 0 when the workflow reported its outcome.
# QVR_RUN_INNER=1 with QVR_RUN_BUILD=DIR runs DIR/quarvelon-host with DIR/app.bundle as it is,
# without installing or building (QVR_RUN_HEADLESS=1 as under Xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ -z "${QVR_RUN_INNER:-}" ]; then
  packages=(cmake ninja-build g++ pkg-config zlib1g-dev libpcre2-dev libminizip-dev libsystemd-dev
            libjavascriptcoregtk-4.1-dev libglib2.0-dev libgtk-3-dev libwebkit2gtk-4.1-dev libnotify-dev
            libsecret-1-dev media-types xvfb xauth dbus-x11 python3 python3-gi gir1.2-gtk-3.0)
  source scripts/packages.sh
  qvr_install_missing "${packages[@]}"

  build=${BUILD_DIR:-build/release}
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQVR_TESTS=OFF -DQVR_BENCH=OFF -DQVR_FUZZ=OFF >/dev/null
  cmake --build "$build" -j "${JOBS:-$(nproc)}" --target quarvelon-host
  # A skin named app.bundle beside the executable is the one it starts with.
  rm -rf "$build/app.bundle"
  cp -r examples/demo "$build/app.bundle"
  export QVR_RUN_BUILD=$root/$build QVR_RUN_INNER=1
  if [ -z "${DISPLAY:-}" ]; then
    export QVR_RUN_HEADLESS=1
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
  fi
  exec "$0" "$@"
fi

host=$QVR_RUN_BUILD/quarvelon-host
log=$QVR_RUN_BUILD/demo-run.log
picture=$QVR_RUN_BUILD/demo-window.png
: >"$log"

# The demo's content repository on 127.0.0.1, on a port the system picks, for as long as this
# script runs; the workflow reads its address from DEMO_REPOSITORY_URL.
served=$QVR_RUN_BUILD/demo-content-server.log
# Made here, before the server starts: the loop below reads it at once, and a file the server's
# redirection has not created yet would fail that read and end the script.
: >"$served"
/usr/bin/python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$QVR_RUN_BUILD/app.bundle/repository" \
  >"$served" 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null || true' EXIT
trap 'exit 130' INT TERM
port=""
for _ in $(seq 100); do
  port=$(sed -n -E 's/^Serving HTTP on 127\.0\.0\.1 port ([0-9]+) .*/\1/p' "$served")
  [ -n "$port" ] && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$port" ]; then
  cat "$served" >&2
  echo "The demo's content server did not start (log: $served)." >&2
  exit 1
fi
export DEMO_REPOSITORY_URL=http://127.0.0.1:$port/

# The workflow's own lines, the outcome and whatever the host says went wrong, without the log's
# time stamps and object names.
show() {
  grep --line-buffered -E 'Task\.[0-9a-f]+\.[A-Za-z]+ - |Exit Code|ERROR|quarvelon-host:|Demo page (outcome|content)' |
    sed -u -E 's/^.* Task\.[0-9a-f]+\.([A-Za-z]+) - /  [\1] /; s/^[0-9\/]+ [0-9:]+ //'
}

outcome() { grep -q -E 'Demo SHA-256 - [0-9a-f]{64}' "$log"; }
# The page has shown the outcome (either way).
shown() { grep -q -E 'Demo page outcome - ' "$log"; }
# The host could not start: another instance, a port, the skin.
refused() {
  grep -q -E 'Another instance of this application is open|does not exist \(--skin\)|in use or cannot be bound|Failed to load the embedded skin|did not start listening' "$log"
}

# The window layer may be missing from this build: the workflow then runs in the host's own
# self-update role, which needs no window.
run_without_window() {
  echo "No window in this build; running the workflow without one."
  : >"$log"
  "$host" --wfselfupdate --window 2>&1 | tee -a "$log" | show
  outcome
}

session=()
command -v dbus-run-session >/dev/null && session=(dbus-run-session --)

if [ -z "${QVR_RUN_HEADLESS:-}" ]; then
  "${session[@]}" "$host" --window 2>&1 | tee -a "$log" | show || true
  if grep -q -E 'No native skin window layer|Native webview failed to load' "$log"; then
    run_without_window
  fi
  exit 0
fi

"${session[@]}" "$host" --window --autorun > >(tee -a "$log" | show) 2>&1 &
pid=$!
for _ in $(seq 1200); do
  shown && break
  refused && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if refused && ! shown; then
  grep -h -E 'Another instance of this application is open|ERROR - ' "$log" | sed -E 's/^[0-9\/]+ [0-9:]+ //' >&2
  if grep -q 'Another instance of this application is open' "$log"; then
    echo "The demo already runs as this user: close its window (or end that host) and run again." >&2
  fi
  echo "The host did not run the demo (log: $log)." >&2
  # Its question to the user (a dialog) would wait for ever here: the host and the session end now.
  children=$(ps -o pid= --ppid "$pid" 2>/dev/null || true)
  kill -TERM $children "$pid" 2>/dev/null || true
  sleep 1
  kill -KILL $children "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  exit 1
fi
if shown; then
  # One more frame for the page to paint what it was just told.
  sleep 0.5
  /usr/bin/python3 - "$picture" <<'PY' && echo "Window picture: $picture"
import sys
import gi
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk
root = Gdk.get_default_root_window()
Gdk.pixbuf_get_from_window(root, 0, 0, root.get_width(), root.get_height()).savev(sys.argv[1], "png", [], [])
PY
fi
code=0
for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then
  kill -TERM "$pid"
fi
wait "$pid" || code=$?
if grep -q -E 'No native skin window layer|Native webview failed to load' "$log"; then
  run_without_window
  exit $?
fi
outcome || exit 1
exit "$code"
