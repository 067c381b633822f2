#!/bin/sh
# Builds the Debian package, installs it on this machine, runs what it installed
# and removes it again:
# - every library the three programs load directly is owned by a package that the
#   .deb depends on, so the package also installs on a machine without Qt;
# - the installed simulated hub serves a port and answers the configuration query;
# - the installed command-line tool runs without Qt's GUI libraries, has its
#   manual page, and identifies the installed simulated hub;
# - the program, started as the menu entry starts it and offscreen, stays up
#   beside the installed simulated hub;
# - the installed desktop entry, AppStream data and icons pass the validators.
# Usage: check-package.sh [BUILD_DIR]   (default build-pkg; an existing build is reused)
# Installing needs root, or sudo. Refuses to run when the package is already
# installed, so that it never removes a copy it did not install.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build-pkg}
package=pellix-hub-controler
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

fail() { echo "FAIL: $*" >&2; exit 1; }

if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    fail "$package is already installed; remove it first"
fi

./scripts/install-deps.sh
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
rm -f "$build"/${package}_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/${package}_*.deb)
echo "built $deb"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"

work=$(mktemp -d)
sim=""
app=""
cleanup() {
    [ -n "$app" ] && kill "$app" 2>/dev/null
    [ -n "$sim" ] && kill "$sim" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -qq "$package" >/dev/null
    fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "./$deb" >/dev/null
echo "installed $package $(dpkg-query -W -f='${Version}' "$package")"

# The package that owns a library, whichever of the merged /lib and /usr/lib
# names it was registered under.
owner() {
    real=$(readlink -f "$1")
    for path in "$1" "$real" "/usr$real" "${real#/usr}"; do
        found=$(dpkg-query -S "$path" 2>/dev/null | head -n1) || continue
        [ -n "$found" ] && { echo "${found%%:*}"; return 0; }
    done
    return 1
}
for program in /usr/bin/pellix-hub-controler /usr/bin/pellix-hubctl /usr/bin/pellix-hubsim; do
    [ -x "$program" ] || fail "$program was not installed"
    for soname in $(objdump -p "$program" | awk '$1 == "NEEDED" { print $2 }'); do
        path=$(ldd "$program" | awk -v lib="$soname" '$1 == lib { print $3 }')
        [ -n "$path" ] && [ "$path" != "not" ] || fail "$program: $soname not found"
        pkg=$(owner "$path") || fail "$program: no package owns $path"
        echo "$depends" | tr ',|' '\n\n' | sed 's/(.*//; s/ //g' | grep -qx "$pkg" \
            || fail "$program loads $soname from $pkg, which the package does not depend on"
    done
done
echo "every directly loaded library comes from a declared dependency"

# The installed simulated hub: its port answers the configuration query "HCF"
# with "C", the connected-sensor mask in hex, the operating and the output mode.
link=$work/hub
/usr/bin/pellix-hubsim --link "$link" --mask 5A --precise --text >"$work/sim.log" 2>&1 &
sim=$!
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
[ -e "$link" ] || fail "installed pellix-hubsim made no port: $(cat "$work/sim.log")"
stty -F "$link" raw -echo
exec 3<>"$link"
printf 'HCF' >&3
timeout 2 cat <&3 >"$work/reply" || true
exec 3>&-
grep -aq 'C5APT' "$work/reply" || fail "installed pellix-hubsim did not answer HCF with C5APT"
echo "installed pellix-hubsim answers on $link"

# The installed command-line tool, against the same simulated hub: it must find
# the configuration the hub was started with.
hubctl=/usr/bin/pellix-hubctl
"$hubctl" --help >/dev/null || fail "installed pellix-hubctl --help did not exit 0"
gui=$(ldd "$hubctl" | grep -E 'libQt[56](Gui|Widgets)' || true)
[ -z "$gui" ] || fail "installed pellix-hubctl loads Qt's GUI libraries: $gui"
# The package carries the manual page even where dpkg is told to leave manuals out.
dpkg-deb -c "$deb" | grep -q '\./usr/share/man/man1/pellix-hubctl\.1' \
    || fail "the package has no manual page for pellix-hubctl"
status=0
timeout 30 "$hubctl" --port "$link" info >"$work/info" 2>"$work/info.err" || status=$?
[ "$status" -eq 0 ] || fail "installed pellix-hubctl --port $link info exited $status: $(cat "$work/info.err")"
for line in "port: $link" "sensor_mask: 5A" "mode: precise" "output: text"; do
    grep -qx "$line" "$work/info" || fail "installed pellix-hubctl info did not say '$line': $(cat "$work/info")"
done
echo "installed pellix-hubctl identifies the hub on $link"

# The program as the menu starts it: the entry's Exec line, resolved through PATH.
desktop=/usr/share/applications/$package.desktop
[ -f "$desktop" ] || fail "no installed desktop entry"
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
command -v "$exec_line" >/dev/null || fail "the desktop entry's Exec '$exec_line' is not on PATH"
QT_QPA_PLATFORM=offscreen "$exec_line" >"$work/app.log" 2>&1 &
app=$!
sleep 3
kill -0 "$app" 2>/dev/null || fail "the installed program exited: $(cat "$work/app.log")"
kill -0 "$sim" 2>/dev/null || fail "the installed pellix-hubsim exited: $(cat "$work/sim.log")"
kill "$app"
wait "$app" 2>/dev/null || true
app=""
echo "the installed program started offscreen and stayed up"

metainfo=/usr/share/metainfo/org.example.PellixHubControler.metainfo.xml
icon=$(sed -n 's/^Icon=//p' "$desktop")
for size in 16 22 24 32 48 64 128 256; do
    [ -f "/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png" ] || fail "no installed ${size}x${size} icon"
done
echo "desktop-file-validate $desktop"
desktop-file-validate "$desktop" || fail "desktop-file-validate"
echo "appstreamcli validate --no-net $metainfo"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"

DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -qq "$package" >/dev/null
for gone in /usr/bin/pellix-hub-controler /usr/bin/pellix-hubctl /usr/bin/pellix-hubsim \
            /usr/share/man/man1/pellix-hubctl.1 "$desktop" "$metainfo"; do
    [ ! -e "$gone" ] || fail "$gone is still there after removing the package"
done
echo "removed $package"
echo "package check passed"
