#!/bin/sh
# Installs the Debian packages the builds, the tests, the package check and the
# screenshots need.
# Does nothing when they are already there, so it is cheap to call every time.
set -e
# Qt 5 is the default build, Qt 6 the second one CI builds; the last two bring the
# validators for the desktop entry and the AppStream data; the history plot
# draws with QCustomPlot (one library for each Qt); publish talks MQTT through
# libmosquitto, and its tests start the mosquitto broker and its clients, and make
# certificates with openssl; a test holds the sources to the formatter of
# this Debian release.
packages="build-essential cmake qtbase5-dev libqt5serialport5-dev xvfb xauth fonts-dejavu-core
          qt6-base-dev qt6-serialport-dev desktop-file-utils appstream
          libqcustomplot-dev libqcustomplot2.1-qt6 pkg-config
          libmosquitto-dev mosquitto mosquitto-clients openssl clang-format-14"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing:$missing"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
