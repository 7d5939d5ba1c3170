#!/usr/bin/env bash
# Builds the Debian package of Vantor (build/ci/package/vantor_VERSION_ARCH.deb) from the ci
# build, reusing what is built there already, and checks it with lintian: an error fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset ci >/dev/null
cmake --build --preset ci --target vantor vantor-cli vantor-drive-sim vantor-port-server vantor-make-image \
    vantor-man vantor-changelog
rm -f build/ci/package/vantor_*.deb
(cd build/ci && cpack -G DEB >/dev/null)
deb=$(echo build/ci/package/vantor_*.deb)
echo "=== lintian $deb"
status=0
report=$(lintian --fail-on error --display-info "$deb" 2>&1) || status=$?
# lintian warns when it runs as root; that says nothing about the package.
grep -v '^running with root privileges' <<<"$report" || true
if [ "$status" -ne 0 ]; then
    echo "lintian found errors in $deb" >&2
    exit 1
fi
echo "$deb: $(stat -c %s "$deb") bytes"
