#!/bin/sh
# Usage: check-install.sh BUILD_DIR SOURCE_DIR
# Installs BUILD_DIR into a scratch root with the /usr prefix a package uses and
# checks what a desktop looks for: the three programs, the command-line tool's
# manual page, the menu entry, the AppStream metadata and the icon at every theme
# size. The desktop-file and AppStream validators, and man, run when they are
# installed.
set -eu
build=$1
source=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null
usr=$root/usr

for program in pellix-hub-controler pellix-hubctl pellix-hubsim; do
    [ -x "$usr/bin/$program" ] || fail "$program is not installed in bin/"
done
"$usr/bin/pellix-hubsim" --help >/dev/null || fail "installed pellix-hubsim does not run"
"$usr/bin/pellix-hubctl" --help >/dev/null || fail "installed pellix-hubctl --help does not exit 0"

# The command-line tool is for machines without a display: nothing of Qt's GUI
# may be among what it loads.
gui=$(ldd "$usr/bin/pellix-hubctl" | grep -E 'libQt[56](Gui|Widgets)' || true)
[ -z "$gui" ] || fail "installed pellix-hubctl loads Qt's GUI libraries: $gui"

# The publish service names the program and the configuration where this
# install put them.
unit=$usr/lib/systemd/system/pellix-hubctl-publish@.service
[ -f "$unit" ] || fail "no publish service in lib/systemd/system/"
program=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
[ -x "$root$program" ] || fail "the publish service runs $program, which is not installed"
conf=$(sed -n 's/^EnvironmentFile=\([^-].*\)/\1/p' "$unit")
[ -f "$root$conf" ] || fail "the publish service reads $conf, which is not installed"

manpage=$usr/share/man/man1/pellix-hubctl.1
[ -f "$manpage" ] || fail "no manual page share/man/man1/pellix-hubctl.1"
if command -v man >/dev/null; then
    warnings=$(man --warnings -l "$manpage" 2>&1 >/dev/null) || fail "man cannot format $manpage"
    [ -z "$warnings" ] || fail "man --warnings: $warnings"
    echo "man: the manual page formats without warnings"
else
    echo "man not installed: manual page not formatted"
fi

desktop=$usr/share/applications/pellix-hub-controler.desktop
metainfo=$usr/share/metainfo/org.example.PellixHubControler.metainfo.xml
[ -f "$desktop" ] || fail "no desktop entry in share/applications/"
[ -f "$metainfo" ] || fail "no AppStream metadata in share/metainfo/"

field() { sed -n "s/^$1=//p" "$desktop"; }
[ "$(field Name)" = "Pellix Hub Controler" ] || fail "desktop entry Name is '$(field Name)'"
[ "$(field Exec)" = "pellix-hub-controler" ] || fail "desktop entry Exec is '$(field Exec)'"
[ "$(field Categories)" = "Utility;Electronics;" ] || fail "desktop entry Categories is '$(field Categories)'"
grep -q "<launchable type=\"desktop-id\">pellix-hub-controler.desktop</launchable>" "$metainfo" \
    || fail "the AppStream metadata does not launch the installed desktop entry"

icon=$(field Icon)
[ -n "$icon" ] || fail "desktop entry has no Icon"
for size in 16 22 24 32 48 64 128 256; do
    png=$usr/share/icons/hicolor/${size}x${size}/apps/$icon.png
    [ -f "$png" ] || fail "no ${size}x${size} icon"
    # The PNG signature, then IHDR's width and height as big-endian words at byte 16.
    [ "$(od -An -tx1 -N8 "$png" | tr -d ' \n')" = "89504e470d0a1a0a" ] || fail "$png is not a PNG"
    # shellcheck disable=SC2046
    set -- $(od -An -tu1 -j16 -N8 "$png")
    width=$(( ($1 << 24) | ($2 << 16) | ($3 << 8) | $4 ))
    height=$(( ($5 << 24) | ($6 << 16) | ($7 << 8) | $8 ))
    [ "$width" -eq "$size" ] && [ "$height" -eq "$size" ] \
        || fail "${size}x${size} icon is ${width}x${height}"
done
cmp -s "$usr/share/icons/hicolor/64x64/apps/$icon.png" "$source/resources/images/app-icon.png" \
    || fail "the theme icons are older than the window icon: run scripts/make-images.sh"

if command -v desktop-file-validate >/dev/null; then
    out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
    [ -z "$out" ] || fail "desktop-file-validate: $out"
    echo "desktop-file-validate: no complaints"
else
    echo "desktop-file-validate not installed: desktop entry not validated"
fi
if command -v appstreamcli >/dev/null; then
    appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
    appstreamcli validate-tree --no-net "$root" || fail "appstreamcli validate-tree"
else
    echo "appstreamcli not installed: AppStream metadata not validated"
fi
echo "installed tree is complete"
