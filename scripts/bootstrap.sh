#!/usr/bin/env bash
# Installs every system package that building, testing and running Zorvane needs.
# Idempotent: a second run only checks what is installed and returns in seconds.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git clang-14 libclang-rt-14-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-i686-win32 mingw-w64-i686-dev binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  libz-mingw-w64-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libssl-dev libsqlite3-dev sqlite3
  libcpp-httplib-dev libmicrohttpd-dev nlohmann-json3-dev libcli11-dev
  wine wine64 xvfb xauth x11-utils xdotool imagemagick fonts-liberation
  postgresql libpq-dev nginx-light
  python3 curl ca-certificates procps time chromium util-linux
)

# The 32-bit Wine is only worth installing where the kernel runs 32-bit
# programs; elsewhere the i686 client is built and checked without Wine.
here="$(cd "$(dirname "$0")" && pwd)"
if "$here/host-runs-32bit.sh"; then
  packages+=(wine32:i386)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(sudo)
fi

echo "bootstrap: installing ${missing[*]}" >&2
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${as_root[@]}" dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
# A mirror in the middle of a sync can fail one index file; the install
# below then says whether anything needed is really missing.
for attempt in 1 2 3; do
  if "${as_root[@]}" apt-get update -qq; then
    break
  fi
  echo "bootstrap: apt-get update failed (attempt $attempt)" >&2
  sleep $((attempt * 5))
done
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
