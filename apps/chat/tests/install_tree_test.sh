#!/usr/bin/env bash
# Installs the build tree into a scratch root and checks what a desktop user gets: the programs,
# a valid launcher entry and metainfo, icons at every size, man pages and bash completion.
set -euo pipefail
build=${1:?usage: install_tree_test.sh BUILD_DIR}
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "install_tree_test: $*" >&2; exit 1; }

DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
usr=$root/usr
id=so.vemo.chat

for bin in vemo-chat amdoc; do
  [ -x "$usr/bin/$bin" ] || fail "$bin is not installed as an executable"
done
"$usr/bin/vemo-chat" --version >/dev/null || fail "installed vemo-chat does not run"

desktop=$usr/share/applications/$id.desktop
metainfo=$usr/share/metainfo/$id.metainfo.xml
[ -f "$desktop" ] || fail "missing $desktop"
[ -f "$metainfo" ] || fail "missing $metainfo"
desktop-file-validate "$desktop" || fail "desktop entry does not validate"
appstreamcli validate --no-net --pedantic "$metainfo" >/dev/null ||
  { appstreamcli validate --no-net --pedantic "$metainfo" >&2; fail "metainfo does not validate"; }

# The entry must launch what was installed, with the icon that was installed, and tell the
# shell which window belongs to it.
key() { sed -n "s/^$1=//p" "$desktop"; }
[ "$(key Exec)" = "vemo-chat %U" ] || fail "Exec is '$(key Exec)'"
# Invite links open in the program, which hands them to its running window.
case "$(key MimeType)" in
  *x-scheme-handler/vemo-invite\;*) ;;
  *) fail "MimeType '$(key MimeType)' does not claim invite links" ;;
esac
[ "$(key Icon)" = "$id" ] || fail "Icon is '$(key Icon)'"
[ "$(key StartupWMClass)" = "$id" ] || fail "StartupWMClass is '$(key StartupWMClass)'"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
  fail "metainfo does not point at the desktop entry"

# Every screenshot the metainfo lists is installed, rendered at the size it declares.
shots=$(sed -n 's|.*<image type="source" width="\([0-9]*\)" height="\([0-9]*\)">.*/\([^/<]*\)</image>.*|\3 \1 \2|p' "$metainfo")
[ -n "$shots" ] || fail "metainfo lists no screenshots"
while read -r name width height; do
  png=$usr/share/vemo-chat/screenshots/$name
  [ -f "$png" ] || fail "screenshot $name is not installed"
  hex=$(od -An -tx1 -N24 "$png" | tr -d ' \n')
  [ "$((16#${hex:32:8}))x$((16#${hex:40:8}))" = "${width}x${height}" ] ||
    fail "$name is not ${width}x${height}"
done <<<"$shots"

icons=$usr/share/icons/hicolor
[ -f "$icons/scalable/apps/$id.svg" ] || fail "missing scalable icon"
for size in 16 32 48 64 128 256 512; do
  png=$icons/${size}x${size}/apps/$id.png
  [ -f "$png" ] || fail "missing $png"
  # PNG: signature, then the IHDR chunk with big-endian width and height at bytes 16..23.
  hex=$(od -An -tx1 -N24 "$png" | tr -d ' \n')
  sig=${hex:0:16} w=${hex:32:8} h=${hex:40:8}
  [ "$sig" = 89504e470d0a1a0a ] || fail "$png is not a PNG"
  [ $((16#$w)) -eq "$size" ] && [ $((16#$h)) -eq "$size" ] ||
    fail "$png is $((16#$w))x$((16#$h)), not ${size}x${size}"
done

for page in vemo-chat amdoc; do
  man1=$usr/share/man/man1/$page.1
  [ -f "$man1" ] || fail "missing man page $page.1"
  warnings=$(groff -man -ww -z "$man1" 2>&1)
  [ -z "$warnings" ] || fail "groff warns on $page.1: $warnings"
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$man1" 2>&1 >/dev/null)
  [ -z "$text" ] || fail "man warns on $page.1: $text"
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$man1" 2>/dev/null | grep -q "^NAME" || fail "$page.1 renders no NAME"
done

# Every option --help lists is documented in the man page.
for opt in $("$usr/bin/vemo-chat" --help | grep -oE -- '--[a-z][a-z-]+' | sort -u); do
  LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$usr/share/man/man1/vemo-chat.1" 2>/dev/null | grep -q -- "$opt" ||
    fail "vemo-chat.1 does not document $opt"
done
for sub in $("$usr/bin/amdoc" --help | sed -n '/^Subcommands:/,/^$/p' | awk 'NR > 1 && NF { print $1 }'); do
  LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$usr/share/man/man1/amdoc.1" 2>/dev/null | grep -qE "^ +$sub( |$)" ||
    fail "amdoc.1 does not document the subcommand $sub"
done

completions=$usr/share/bash-completion/completions
for cmd in vemo-chat amdoc; do
  [ -e "$completions/$cmd" ] || fail "missing bash completion for $cmd"
  (source "$completions/$cmd" && complete -p "$cmd" >/dev/null) || fail "no completion registered for $cmd"
done
# The completion offers the installed program's scenario names.
names=$(PATH=$usr/bin:$PATH bash -c "source '$completions/vemo-chat'
  COMP_WORDS=(vemo-chat --shot ''); COMP_CWORD=2; _vemo_chat; printf '%s\n' \"\${COMPREPLY[@]}\"")
[ "$names" = "$("$usr/bin/vemo-chat" --list-shots)" ] || fail "--shot completion differs from --list-shots"
echo "install tree OK"
