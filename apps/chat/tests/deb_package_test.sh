#!/usr/bin/env bash
# Builds the Debian package from the build tree and checks its contents and dependencies.
set -euo pipefail
build=${1:?usage: deb_package_test.sh BUILD_DIR}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail() { echo "deb_package_test: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1 ||
  { cat "$out/cpack.log" >&2; fail "cpack failed"; }
debs=("$out"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, got: ${debs[*]}"
deb=${debs[0]}

contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|')
for path in /usr/bin/vemo-chat /usr/bin/amdoc \
            /usr/share/applications/so.vemo.chat.desktop \
            /usr/share/metainfo/so.vemo.chat.metainfo.xml \
            /usr/share/icons/hicolor/scalable/apps/so.vemo.chat.svg \
            /usr/share/icons/hicolor/16x16/apps/so.vemo.chat.png \
            /usr/share/icons/hicolor/512x512/apps/so.vemo.chat.png \
            /usr/share/man/man1/vemo-chat.1 /usr/share/man/man1/amdoc.1 \
            /usr/share/bash-completion/completions/vemo-chat \
            /usr/share/bash-completion/completions/amdoc; do
  grep -qx -- "$path" <<<"$contents" || fail "package lacks $path"
done
# Nothing outside /usr, and nothing of the build (static libraries, headers, tests).
bad=$(grep -vE '^/(usr(/.*)?)?/?$' <<<"$contents" || true)
[ -z "$bad" ] || fail "package installs outside /usr: $bad"
bad=$(grep -E '\.(a|h|hpp)$|_tests?$' <<<"$contents" || true)
[ -z "$bad" ] || fail "package carries build files: $bad"

[ "$(dpkg-deb -f "$deb" Package)" = vemo-chat ] || fail "package name is $(dpkg-deb -f "$deb" Package)"
depends=$(dpkg-deb -f "$deb" Depends)
# Computed from the binaries: the libraries the program links to are there with versions.
for lib in libc6 libgtk-3-0 libsqlite3-0 libgnutls30; do
  grep -qE "(^|, )$lib( \(|,|$)" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
grep -q "gstreamer1.0-plugins-good" <<<"$depends" || fail "Depends lacks the GStreamer plugins: $depends"
echo "deb OK: $(basename "$deb") $(stat -c %s "$deb") bytes"
