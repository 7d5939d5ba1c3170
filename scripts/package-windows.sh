#!/usr/bin/env bash
# Makes the Windows zip (build/windows/vantor-VERSION-windows-x86_64.zip): the window vantor.exe,
# vantor-cli.exe and vantor-make-image.exe (static, no DLLs beside them), the README and the demo
# image, from the windows preset's cross build.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset windows >/dev/null
cmake --build --preset windows --target vantor vantor-cli vantor-make-image
version=$(sed -n 's/^project(Vantor VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name="vantor-$version-windows-x86_64"
stage="build/windows/package/$name"
rm -rf "build/windows/package"
mkdir -p "$stage"
cp build/windows/ui/win32/vantor.exe build/windows/cli/vantor-cli.exe \
  build/windows/tools/vantor-make-image.exe "$stage/"
x86_64-w64-mingw32-strip "$stage"/*.exe
cp README.md "$stage/README.md"
cp docs/windows.md "$stage/WINDOWS.md"
cp examples/demo.orb "$stage/demo.orb"
zip="build/windows/$name.zip"
rm -f "$zip"
(cd build/windows/package && zip -qr "../$name.zip" "$name")
echo "=== $zip"
unzip -l "$zip"
