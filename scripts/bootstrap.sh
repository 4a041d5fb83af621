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
  python3 curl ca-certificates procps time chromium chromium-driver util-linux
)

here="$(cd "$(dirname "$0")" && pwd)"

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done

# The 32-bit Wine is only worth installing where the kernel runs 32-bit
# programs; elsewhere the i686 client is built and checked without Wine.
# It is optional: where the mirror cannot serve it, the 32-bit lane is
# skipped and says so.
want_wine32=false
if "$here/host-runs-32bit.sh" --kernel && ! installed wine32:i386; then
  want_wine32=true
fi

if [ ${#missing[@]} -eq 0 ] && ! $want_wine32; then
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive

if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}" >&2
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
fi

if $want_wine32; then
  echo "bootstrap: installing wine32:i386" >&2
  added_i386=false
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
    added_i386=true
  fi
  "${as_root[@]}" apt-get update -qq >/dev/null 2>&1 || true
  if ! "${as_root[@]}" apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null 2>&1; then
    echo "bootstrap: wine32:i386 could not be installed (the mirror's i386 index may be mid-sync); the 32-bit lane will be skipped" >&2
    # Leave apt as it was, so that a broken i386 index cannot fail later updates.
    $added_i386 && "${as_root[@]}" dpkg --remove-architecture i386 2>/dev/null || true
  fi
fi
