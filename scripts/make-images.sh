#!/bin/sh
# Regenerates the five PNGs in resources/images/ and the application icon's
# hicolor theme sizes in packaging/icons/hicolor/ from make-images.cpp.
# Run by hand after changing the drawing code; the build uses the committed PNGs.
set -e
here="$(cd "$(dirname "$0")" && pwd)"
out="$here/../resources/images"
icons="$here/../packaging/icons/hicolor"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
# shellcheck disable=SC2046
g++ -std=c++17 -fPIC -O1 -o "$tmp/make-images" "$here/make-images.cpp" $(pkg-config --cflags --libs Qt5Gui)
mkdir -p "$out" "$icons"
"$tmp/make-images" "$out" "$icons"
echo "images written to $out, icons to $icons"
