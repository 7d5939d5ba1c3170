#!/usr/bin/env bash
# Cross-builds vantor-cli.exe and the test suites that hold for Windows with mingw-w64 (the
# `windows` preset, through ccache when it is there) and runs them under Wine, in a Wine prefix
# inside the build tree whose server is started once for the whole run: the core, image and
# settings store suites (the soak with a reduced count), most of the cli suite, the comm backend
# against a pseudo terminal that Wine's registry maps to COM9 with an echoing peer on its other
# end, a download from the simulated drive by vantor-cli.exe, downloads through a network serial
# port served by the Linux vantor-drive-sim (from build/ci), production lines of simulated
# stations (all succeeding, one failing, stopped by Ctrl-C), a lost port, and the window vantor.exe
# driven by window messages on an X server of its own (Xvfb). Skipped, and said so, when the
# cross compiler or Wine is not installed.
set -euo pipefail
cd "$(dirname "$0")/.."

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || [ ! -x "$wine" ]; then
  echo "=== windows: skipped (g++-mingw-w64-x86-64-posix and wine64 are not installed)"
  exit 0
fi

build="$PWD/build/windows"
suites=(image job link registry sim transcript win window_core)
echo "=== windows: cross build"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake --preset windows "${launcher[@]}" >/dev/null
targets=(vantor-cli vantor vantor_window_driver vantor_soak_tests vantor_cli_tests)
for suite in "${suites[@]}"; do
  targets+=("vantor_${suite}_tests")
done
cmake --build --preset windows -j "$(nproc)" --target "${targets[@]}"

export WINEPREFIX="$build/wine" WINEDEBUG=-all
# No .NET or HTML engine: the programs are console programs, and Wine would offer to fetch them.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "=== windows: a new Wine prefix"
  "$wine" wineboot -i >/dev/null 2>&1
fi

peer_pid=""
drive_sim_pid=""
stop_process() {
  if [ -n "$1" ]; then
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
  fi
}
cleanup() {
  stop_process "$peer_pid"
  stop_process "$drive_sim_pid"
  "$wineserver" -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
# Wine's ports, system processes and all, start once and stay up for every program below.
wine_up() {
  "$wineserver" -p >/dev/null 2>&1 || true
  "$wine" cmd /c exit >/dev/null 2>&1 || true
}

# The echoing far end of COM9: a pseudo terminal whose terminal side Wine opens as the port.
port_link="$build/echo-port"
python3 tests/win/echo_peer.py "$port_link" >/dev/null &
peer_pid=$!
for _ in $(seq 50); do
  [ -L "$port_link" ] && break
  sleep 0.1
done
[ -L "$port_link" ] || { echo "windows: the echoing peer did not start" >&2; exit 1; }
# Wine gives this machine's serial devices (/dev/ttyS0 is its console) the first COM numbers that
# its registry leaves free. Every number the programs can open, COM1 to COM255, is taken here (an
# empty value is no device; COM9 is the peer above), so that nothing under test can reach them:
# they are left COM256, which no program of ours opens.
ports_reg="$build/wine-ports.reg"
{
  printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
  for n in $(seq 255); do
    [ "$n" -eq 9 ] || printf '"COM%d"=""\r\n' "$n"
  done
} >"$ports_reg"
"$wine" reg import "Z:${ports_reg//\//\\}" >/dev/null 2>&1
# The terminal itself, not the link to it: Wine's mapping then shows the port is a pseudo terminal.
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM9 /t REG_SZ /d "$(readlink -f "$port_link")" /f \
  >/dev/null
# Wine maps its ports when the prefix starts: end it, and start it again for the run.
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -w >/dev/null 2>&1 || true
wine_up
for link in "$WINEPREFIX"/dosdevices/com*; do
  case "$(readlink "$link")" in
    /dev/ttyS* | /dev/ttyUSB* | /dev/ttyACM*)
      if [ "$(basename "$link")" != com256 ]; then
        echo "windows: $(basename "$link") reaches $(readlink "$link"); stopped before any test" >&2
        exit 1
      fi
      ;;
  esac
done

failed=0
run() {
  local name=$1
  shift
  echo "=== windows: $name"
  if ! "$@"; then
    echo "windows: $name FAILED" >&2
    failed=1
  fi
}

for suite in "${suites[@]}"; do
  run "$suite tests" env VANTOR_TEST_COM_PORT=COM9 \
    "$wine" "$build/tests/$suite/vantor_${suite}_tests.exe" --gtest_brief=1
done
# The cli suite, which runs vantor-cli.exe as a child, without the tests that need what Windows
# has not: signals beyond Ctrl-C (SIGTERM and SIGKILL end a process there at once, with no status
# of their own), a limit on open files, and the Linux port map; and without the one that names
# /dev/ttyS0, which Wine would open as the machine's own console port.
cli_windows_filter='-ProductionLine.ReportsAStationKilledFromOutside'
cli_windows_filter+=':ProductionLine.AnInterruptionStopsEveryStation'
cli_windows_filter+=':ProductionLine.*OpenFilesLimit*:Signals/Interrupted.*/Term:Ports.*'
cli_windows_filter+=':*VirtualTimeOnARealPort*'
run "cli tests" "$wine" "$build/tests/cli/vantor_cli_tests.exe" --gtest_brief=1 \
  "--gtest_filter=$cli_windows_filter"
run "soak tests" env VANTOR_SOAK_RUNS="${VANTOR_WINDOWS_SOAK_RUNS:-500}" \
  "$wine" "$build/tests/soak/vantor_soak_tests.exe" --gtest_brief=1
# Ctrl-C: Wine hands the program a SIGINT as a console Ctrl-C event; the run stops cleanly with
# status 130.
interrupted_run() {
  local out="$build/interrupted.out"
  rm -f "$out"
  "$wine" "$build/cli/vantor-cli.exe" download examples/demo.orb --port sim >"$out" 2>&1 &
  local pid=$!
  for _ in $(seq 300); do
    grep -q 'Seeking drives' "$out" && break
    sleep 0.1
  done
  kill -INT "$pid"
  local status=0
  wait "$pid" || status=$?
  grep -q '^result: 130 interrupted' "$out" && [ "$status" -eq 130 ] || {
    cat "$out" >&2
    echo "status $status" >&2
    return 1
  }
}
run "vantor-cli.exe stopped by Ctrl-C" interrupted_run
run "vantor-cli.exe download examples/demo.orb --port sim" \
  "$wine" "$build/cli/vantor-cli.exe" download examples/demo.orb --port sim --quiet

# Network serial ports: vantor-cli.exe reaches the simulated drive that the Linux
# vantor-drive-sim serves over RFC 2217 on a loopback port, at the drive's fastest speed and
# without seeking, to keep the runs short. A download runs to the end; in another the server is
# killed during the download, and the run ends with status 6 (the port was lost).
network_port_runs() {
  local sim="$PWD/build/ci/drivesim/vantor-drive-sim"
  if [ ! -d build/ci ]; then
    echo "=== windows: network serial ports skipped (no build/ci for the Linux vantor-drive-sim;" \
      "cmake --preset ci first)"
    return 0
  fi
  if [ ! -x "$sim" ]; then
    echo "=== windows: building the Linux vantor-drive-sim"
    cmake --build build/ci --target vantor-drive-sim -j "$(nproc)" >/dev/null
  fi
  run "vantor-cli.exe download through rfc2217://" network_download complete
  run "vantor-cli.exe download, the port server killed on the way" network_download killed
}

# Starts a new vantor-drive-sim on a free loopback port; sets drive_sim_pid and drive_sim_port.
start_drive_sim() {
  local out=$1
  # Removed first: the background start empties it only later, and the last run's port is there.
  rm -f "$out"
  "$PWD/build/ci/drivesim/vantor-drive-sim" --port 0 >"$out" 2>&1 &
  drive_sim_pid=$!
  drive_sim_port=""
  for _ in $(seq 50); do
    drive_sim_port=$(sed -n 's|.*(rfc2217://127\.0\.0\.1:\([0-9]*\)).*|\1|p' "$out")
    [ -n "$drive_sim_port" ] && return 0
    sleep 0.1
  done
  cat "$out" >&2
  echo "windows: vantor-drive-sim did not start" >&2
  return 1
}

# complete: the download succeeds (status 0); killed: the server is killed once the second
# packet is on its way, and the run reports the lost port (status 6).
network_download() {
  local how=$1 out="$build/network-$1.out"
  rm -f "$out"
  start_drive_sim "$build/drive-sim.out" || return 1
  "$wine" "$build/cli/vantor-cli.exe" download examples/demo.orb \
    --port "rfc2217://127.0.0.1:$drive_sim_port" --baud 19200 --skip-seeking >"$out" 2>&1 &
  local pid=$! expected=0
  if [ "$how" = killed ]; then
    expected=6
    for _ in $(seq 300); do
      grep -q 'Downloading packet 2' "$out" && break
      sleep 0.1
    done
    stop_process "$drive_sim_pid"
    drive_sim_pid=""
  fi
  local status=0
  wait "$pid" || status=$?
  stop_process "$drive_sim_pid"
  drive_sim_pid=""
  [ "$status" -eq "$expected" ] && grep -q "^result: $expected " "$out" || {
    cat "$out" >&2
    echo "status $status, $expected expected" >&2
    return 1
  }
}

# A device name given as a file (COM9 is mapped to the echoing peer above) is refused as such,
# as a usage error, before anything is opened.
device_name_refused() {
  local out="$build/device-name.out" status=0
  "$wine" "$build/cli/vantor-cli.exe" download examples/demo.orb --port sim \
    --traffic-log com9.log >"$out" 2>&1 || status=$?
  [ "$status" -eq 64 ] &&
    grep -q 'com9.log is a device name on Windows, not a file name; choose another name' "$out" || {
    cat "$out" >&2
    echo "status $status, 64 expected" >&2
    return 1
  }
}

# COM9 is Wine's mapping of a pseudo terminal, which carries no breaks: the run says so, as on
# Linux, rather than blaming the cable.
no_breaks_hint() {
  local out="$build/no-breaks.out" status=0
  "$wine" "$build/cli/vantor-cli.exe" download examples/demo.orb --port COM9 --skip-seeking \
    >"$out" 2>&1 || status=$?
  [ "$status" -eq 2 ] && grep -q 'this port cannot carry serial breaks' "$out" || {
    cat "$out" >&2
    echo "status $status, 2 expected" >&2
    return 1
  }
}

# The listing as JSON: the port names, and the comm ports present (COM9 among them).
ports_json() {
  local out="$build/ports.json"
  "$wine" "$build/cli/vantor-cli.exe" ports --json >"$out" &&
    grep -q '^{"ports":\[{"name":"COM1",.*"devices":\[.*"path":"COM9"' "$out" || {
    cat "$out" >&2
    return 1
  }
}

# What vantor-cli.exe does with Windows' own: network serial ports, device names, a pseudo
# terminal behind a COM name, the listing of the ports.
windows_port_checks() {
  network_port_runs
  run "vantor-cli.exe --traffic-log com9.log refused" device_name_refused
  run "vantor-cli.exe on a pseudo terminal: the breaks hint" no_breaks_hint
  run "vantor-cli.exe ports --json" ports_json
}
windows_port_checks

# A production line: one vantor-cli.exe child per station. `cli_status` runs vantor-cli.exe, expects
# the given exit status, and leaves the output in $build/line.out.
cli_status() {
  local expected=$1
  shift
  local status=0
  "$wine" "$build/cli/vantor-cli.exe" "$@" >"$build/line.out" 2>&1 || status=$?
  [ "$status" -eq "$expected" ] || {
    cat "$build/line.out" >&2
    echo "status $status, expected $expected" >&2
    return 1
  }
}
# The report's stations as "port result status" lines, in station order.
report_stations() {
  python3 -c 'import json, sys
for s in json.load(open(sys.argv[1]))["stations"]:
    print(s["port"], s["result"], s["status"])' "$1"
}
# Runs a line of the stations given after STATUS and STATIONS, and expects its exit status and
# its report's stations ("port result status" lines).
line_reports() {
  local status=$1 expected=$2 report="$build/line-report.json"
  shift 2
  rm -f "$report"
  cli_status "$status" download examples/demo.orb --skip-seeking "$@" --report "$report" ||
    return 1
  [ "$(report_stations "$report")" = "$expected" ] || {
    cat "$report" >&2
    return 1
  }
}
line_of_two() {
  line_reports 0 $'sim success 0\nsim:ident=0x2083 success 0' --port sim --port sim:ident=0x2083
}
# The second drive is of another hardware revision than the image is for.
line_with_a_failing_station() {
  line_reports 30 $'sim success 0\nsim:ident=0x3083 failed 106' --port sim \
    --port sim:ident=0x3083
}
# Ctrl-C to the line reaches every station, each winds down as an interrupted run, and the line
# ends 130.
line_interrupted() {
  local out="$build/line-interrupted.out" report="$build/line-report.json"
  rm -f "$out" "$report"
  "$wine" "$build/cli/vantor-cli.exe" download examples/demo.orb --port sim \
    --port sim:ident=0x2083 --report "$report" >"$out" 2>&1 &
  local pid=$!
  for _ in $(seq 300); do
    # The output file appears once the background shell has opened it.
    [ "$(cat "$out" 2>/dev/null | grep -c 'Seeking drives')" -ge 2 ] && break
    sleep 0.1
  done
  kill -INT "$pid"
  local status=0
  wait "$pid" || status=$?
  [ "$status" -eq 130 ] &&
    [ "$(report_stations "$report")" = $'sim interrupted 130\nsim:ident=0x2083 interrupted 130' ] || {
    cat "$out" >&2
    echo "status $status" >&2
    return 1
  }
}
# An adapter unplugged in the middle of the image: the port is lost (6), alone and on a line.
lost_port() {
  cli_status 6 download examples/demo.orb --skip-seeking --port sim:unplug-at=1500 --quiet &&
    grep -q '^result: 6 ' "$build/line.out" &&
    rm -f "$build/line-report.json" &&
    cli_status 30 download examples/demo.orb --skip-seeking --port sim \
      --port sim:unplug-at=1500 --quiet --report "$build/line-report.json" &&
    [ "$(report_stations "$build/line-report.json")" = $'sim success 0\nsim:unplug-at=1500 failed 6' ]
}
# The window: vantor.exe driven by a Win32 driver of its own, by window messages alone, in a
# Wine desktop of its own on an X server of its own; the screenshots of its dialogs stay in
# build/windows/window-test/screenshots.
window_driven() {
  local test_dir="$build/window-test"
  rm -rf "$test_dir"
  mkdir -p "$test_dir/work" "$test_dir/screenshots"
  local args=()
  for path in "$build/tests/win_window/vantor_window_driver.exe" "$build/ui/win32/vantor.exe" \
    "$PWD/examples/demo.orb" "$test_dir/work" "$test_dir/screenshots"; do
    args+=("Z:${path//\//\\}")
  done
  xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" \
    "$wine" explorer /desktop=vantor,1024x768 "${args[@]}" >"$test_dir/driver.out" 2>&1 || true
  grep -v '^X connection to' "$test_dir/driver.out"
  # Wine's console ends each line with a carriage return.
  grep -q '^0 failures' "$test_dir/driver.out"
}
if command -v xvfb-run >/dev/null; then
  run "vantor.exe driven by window messages" window_driven
else
  echo "=== windows: the window skipped (xvfb-run is not installed)"
fi
run "a line of two stations" line_of_two
run "a line with a failing station" line_with_a_failing_station
run "a line stopped by Ctrl-C" line_interrupted
run "a lost port" lost_port

exit "$failed"
