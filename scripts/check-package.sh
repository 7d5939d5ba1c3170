#!/usr/bin/env bash
# Installs the Debian package that scripts/package.sh built into this machine with apt-get, runs
# the installed vantor-cli on the demonstration image and looks up its manual page as a user
# would, and removes the package again.
set -euo pipefail
cd "$(dirname "$0")/../build/ci/package"

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
        sudo="sudo"
    else
        echo "=== package check SKIPPED: installing a package needs root or sudo without a password"
        exit 0
    fi
fi
if dpkg-query -W -f='${Status}' vantor 2>/dev/null | grep -q "install ok installed"; then
    echo "=== package check SKIPPED: this machine has a vantor package installed; it is left alone"
    exit 0
fi

apt() {
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get -y -qq "$@"
}
echo "=== package check: apt-get install ./vantor_*.deb"
trap 'echo "=== package check: removing vantor"; apt purge vantor >/dev/null' EXIT
apt install ./vantor_*.deb >/dev/null
[ "$(command -v vantor-cli)" = /usr/bin/vantor-cli ] || {
    echo "vantor-cli is not the installed /usr/bin/vantor-cli" >&2
    exit 1
}
vantor-cli download /usr/share/doc/vantor/examples/demo.orb --port sim
# serve runs the program installed beside it in /usr/libexec/vantor.
vantor-cli serve --help | grep -q 'vantor-cli serve' || {
    echo "vantor-cli serve does not start /usr/libexec/vantor/vantor-serve" >&2
    exit 1
}
man -w vantor-cli
