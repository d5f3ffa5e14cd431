#!/usr/bin/env bash
# Installs every Debian 12 package needed to build, run and test vemo-chat, plus the
# Node.js packages of the reference document engine used by the compatibility tests.
# Idempotent and non-interactive; refreshes the package lists only when something is missing.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git ca-certificates ccache
  # window, painting, text, images
  libgtk-3-dev libcairo2-dev libpango1.0-dev libgdk-pixbuf-2.0-dev webp-pixbuf-loader
  libatk1.0-dev
  # media
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base
  gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-pipewire
  libavcodec-dev libavutil-dev libswscale-dev
  # call audio tests: a headless sound server with a null sink and a sine source
  pulseaudio pulseaudio-utils gstreamer1.0-pulseaudio
  # network and crypto
  libngtcp2-dev libngtcp2-crypto-gnutls-dev libgnutls28-dev nettle-dev
  # data
  zlib1g-dev nlohmann-json3-dev uuid-dev libsqlite3-dev libportal-dev
  # call video and screen share: H.264, colour conversion, the screen-cast portal
  libopenh264-dev libyuv-dev libportal-gtk3-dev pipewire wireplumber
  # call video tests: pw-dump finds the test screen node, gdbus waits for the portal stand-in
  pipewire-bin libglib2.0-bin
  # logging, formatting, command line
  libspdlog-dev libfmt-dev libcli11-dev
  # sharing: sync server connection
  libsoup-3.0-dev
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth xdotool dbus dbus-x11 at-spi2-core python3-gi gir1.2-atspi-2.0
  # call overlay: the call window test reads the detached window's role with xprop
  x11-utils
  # attachments: the paste window test owns the X clipboard through GTK's Python bindings
  gir1.2-gtk-3.0
  # window tests: Unicode's segmentation test data for caret and word boundaries
  unicode-data
  # desktop integration: icon renders, launcher and metainfo validators, man pages
  librsvg2-bin desktop-file-utils appstream man-db groff-base
  # message formatting: the Markdown parser
  libmd4c-dev
  # fonts
  fonts-inter fonts-noto-color-emoji fonts-dejavu-core fonts-droid-fallback
  # fonts for the scripts people write in: Korean, Thai, Devanagari (Arabic, Hebrew: DejaVu;
  # Chinese and Japanese: Droid Sans Fallback)
  fonts-nanum fonts-thai-tlwg fonts-lohit-deva
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if ! command -v node >/dev/null 2>&1; then missing+=(nodejs); fi
if ! command -v npm >/dev/null 2>&1; then missing+=(npm); fi

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The reference document engine, used only as a test oracle.
root=$(cd "$(dirname "$0")/.." && pwd)
# Exactly the versions the lock file names.
oracle="$root/tests/oracle"
if [ -f "$oracle/package-lock.json" ] && [ ! -d "$oracle/node_modules/@automerge/automerge-repo-storage-nodefs" ]; then
  (cd "$oracle" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi
exit 0
