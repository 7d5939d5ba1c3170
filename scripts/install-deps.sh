#!/usr/bin/env bash
# Installs the Debian packages that Vantor builds and tests with. Safe to run again: it only
# calls apt-get when a package is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  # JSON: the production line and serve read their stations' events with it, the tests too.
  nlohmann-json3-dev
  libgtest-dev libgmock-dev
  qt6-base-dev qt6-svg-dev libgl-dev fonts-dejavu-core
  libasound2-dev
  clang libclang-rt-14-dev
  scdoc desktop-file-utils shared-mime-info bash-completion dpkg-dev lintian man-db
  g++-mingw-w64-x86-64-posix wine64 zip
  # The real program under an X server: a virtual screen, a small window manager, and input
  # sent as an operator's keys and clicks.
  xvfb xauth xdotool x11-utils matchbox-window-manager
  ser2net socat python3-serial
  # Validates the reports of real runs against docs/report.schema.json.
  python3-jsonschema
  libudev-dev
  # vantor-cli serve: its HTTP server, and its dashboard tested in a headless browser; its
  # /metrics scraped by a real Prometheus server.
  libcpp-httplib-dev chromium chromium-driver python3-selenium prometheus
  gcovr
  # The history of runs: the station's SQLite file, a site's PostgreSQL (libpq), and the
  # PostgreSQL server that its tests start.
  libsqlite3-dev libpq-dev postgresql-15
  # SHA-256 of the images through OpenSSL's libcrypto, serve's HTTPS through its libssl;
  # hyperfine for the benchmark's timings side by side with sha256sum.
  libssl-dev hyperfine
  # serve's HTTPS tests: a certificate made at test time, and a real client that checks it.
  openssl curl
  # The terminal view of vantor-cli captured at several widths and under TERM=dumb.
  tmux
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
