#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package (scripts/package.sh, its own Release build in
# build/package), unpacks it into a throwaway root and checks it: the files it
# holds, their owner and modes, the declared dependencies, the program running
# from there (--version agreeing with the package's version, and a headless
# start and clean quit), and the desktop
# entry, AppStream metadata, systemd user unit and man page passing their
# validators.
#   package_smoke.sh [cmake -D options for scripts/package.sh]
set -euo pipefail
cd "$(dirname "$0")/../.."
work="$(mktemp -d /tmp/velorin-package-XXXXXX)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# silent WHAT COMMAND...: the command succeeds and prints nothing; validators
# report warnings and hints with status 0, so any output is a failure too.
silent() {
  local what="$1" output
  shift
  output="$("$@" 2>&1)" && [ -z "$output" ] || fail "$what: $output"
}

bash scripts/package.sh "$@" >"$work/build.log" 2>&1 || { tail -n 60 "$work/build.log"; fail "package build"; }
debs=(build/package/velorin-server_*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one package, found ${debs[*]}"
deb="${debs[0]}"
root="$work/root"
dpkg -x "$deb" "$root"

# The files, all owned by root, the program executable and the rest read-only.
expected="./usr/bin/velorin-server
./usr/lib/systemd/user/velorin-server.service
./usr/share/applications/velorin-server.desktop
./usr/share/doc/velorin-server/copyright
./usr/share/icons/hicolor/256x256/apps/velorin-server.png
./usr/share/icons/hicolor/scalable/apps/velorin-server.svg
./usr/share/man/man1/velorin-server.1.gz
./usr/share/metainfo/velorin-server.metainfo.xml"
dpkg -c "$deb" >"$work/contents"
diff <(echo "$expected") <(awk '$1 !~ /^d/ {print $6}' "$work/contents" | sort) || fail "package contents differ"
awk '$2 != "root/root" {exit 1}' "$work/contents" || fail "files not owned by root"
grep -qE '^-rwxr-xr-x .* \./usr/bin/velorin-server$' "$work/contents" || fail "the program is not executable"
[ "$(grep -cE '^-rw-r--r-- ' "$work/contents")" -eq 7 ] || fail "data files not 0644"

[[ "$(readelf -d "$root/usr/bin/velorin-server")" == *BIND_NOW* ]] || fail "the program lacks Debian's hardening flags"

depends="$(dpkg-deb -f "$deb" Depends)"
for lib in libqt6widgets6 libqt6gui6 libqt6core6 libasound2 libplist3 libsystemd0 libavahi-client3 libc6; do
  [[ "$depends" =~ (^|, )$lib( |,|$) ]] || fail "Depends lacks $lib: $depends"
done

# The program runs from the unpacked root without a display or settings, and
# reports the version, build and lane the package was made from.
version="$(dpkg-deb -f "$deb" Version)"   # e.g. 0.1.0~beta-216
upstream="${version%%[~-]*}" build="${version##*-}" lane=Production
[[ "$version" == *~beta-* ]] && lane=Beta
mkdir "$work/home"
line="$(env -i PATH=/usr/bin:/bin HOME="$work/home" "$root/usr/bin/velorin-server" --version)"
[[ "$line" =~ ^"Velorin Server $upstream (build $build, $lane lane, commit "([0-9a-f]+|unknown)\)$ ]] ||
  fail "--version says '$line' for package version $version"
[ -z "$(ls -A "$work/home")" ] || fail "--version wrote into the home folder"
# The packaged program (optimised, hardened, stripped) as a headless server: starts, logs, quits on SIGTERM.
bash tests/app/server_smoke.sh "$root/usr/bin/velorin-server" TERM >"$work/server.log" ||
  { cat "$work/server.log"; fail "the packaged server did not start and quit cleanly"; }

silent "desktop-file-validate" desktop-file-validate "$root/usr/share/applications/velorin-server.desktop"
# The copyright file: machine-readable DEP-5 (checked here as lintian checks a
# source package's), and none of lintian's copyright checks of the binary
# package has anything to say (its other findings, such as the missing Debian
# changelog of a CPack package, are not this test's business).
bash tests/package/dep5_check.sh "$root/usr/share/doc/velorin-server/copyright" ||
  fail "the copyright file is not machine-readable DEP-5"
# Findings do not change its status here; a failure of lintian itself does.
lintian --allow-root --fail-on none --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 ||
  { cat "$work/lintian.log"; fail "lintian failed"; }
if grep -E '^[EWIXP]: [^ ]+: [^ ]*(copyright|dep5|license)' "$work/lintian.log"; then
  fail "lintian finds fault with the copyright file"
fi
# The component id matches the desktop entry's name, not a reverse domain name:
# that one warning is reported as information.
appstreamcli validate --no-net --override=cid-desktopapp-is-not-rdns=info \
  "$root/usr/share/metainfo/velorin-server.metainfo.xml" >"$work/appstream.log" ||
  { cat "$work/appstream.log"; fail "AppStream metadata invalid"; }
grep -qF "<release version=\"${version%-*}\"" "$root/usr/share/metainfo/velorin-server.metainfo.xml" ||
  fail "the metadata's release is not $version"
grep -qF '<project_license>GPL-3.0-or-later</project_license>' "$root/usr/share/metainfo/velorin-server.metainfo.xml" ||
  fail "the metadata does not name the licence"

# The unit as packaged, then verified by systemd with the program where the
# unpacked root holds it and its Documentation= man page looked up there.
unit="$root/usr/lib/systemd/user/velorin-server.service"
for setting in ExecStart=/usr/bin/velorin-server "UnsetEnvironment=DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM" Restart=on-failure \
            WantedBy=default.target; do
  grep -qxF "$setting" "$unit" || fail "the unit lacks $setting"
done
mkdir -m 700 "$work/runtime" "$work/units"
sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$work/units/velorin-server.service"
XDG_RUNTIME_DIR="$work/runtime" MANPATH="$root/usr/share/man" \
  silent "systemd-analyze verify" systemd-analyze --user verify "$work/units/velorin-server.service"
silent "man page" sh -c 'zcat "$1" | groff -man -ww -z' - "$root/usr/share/man/man1/velorin-server.1.gz"
file -b "$root/usr/share/icons/hicolor/256x256/apps/velorin-server.png" | grep -q 'PNG image data, 256 x 256' ||
  fail "the PNG icon is not 256 x 256"
echo "package $(basename "$deb") ($(stat -c %s "$deb") bytes) checked"
