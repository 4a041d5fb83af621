#!/usr/bin/env bash
# Runs one fuzz target under libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer (clang-14 from the distribution), in one
# process, for 60 seconds unless told otherwise.
#
#   scripts/fuzz.sh TARGET [SECONDS | -runs=N] [more libFuzzer options]
#   scripts/fuzz.sh list
#
# TARGET is one of fuzz/CMakeLists.txt's targets (initialise_reply,
# command_line, path_operations, protocol_decode, service_decode). The build lives in
# build/fuzz. The seeds in fuzz/corpus/TARGET/ start the run; what the run
# learns goes to build/fuzz/corpus/TARGET/ and crash inputs to
# build/fuzz/findings/TARGET/. A fixed crash input belongs in
# fuzz/corpus/TARGET/, which every ctest run replays.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=$(sed -n 's/^set(ZORVANE_FUZZ_TARGETS \(.*\))$/\1/p' fuzz/CMakeLists.txt)
if [ $# -lt 1 ] || [ "$1" = list ]; then
  echo "usage: scripts/fuzz.sh TARGET [SECONDS | -runs=N] [libFuzzer options]; targets: $targets"
  exit 0
fi
target=$1
shift
case " $targets " in
  *" $target "*) ;;
  *) echo "fuzz.sh: unknown target '$target' (targets: $targets)" >&2; exit 2 ;;
esac

limit=(-max_total_time=60)
if [ $# -ge 1 ]; then
  case $1 in
    -runs=*) limit=("$1"); shift ;;
    *[!0-9]*) ;;
    *) limit=(-max_total_time="$1"); shift ;;
  esac
fi

scripts/bootstrap.sh
build=build/fuzz
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DZORVANE_SANITIZE=ON -DZORVANE_FUZZ=ON >/dev/null
fi
cmake --build "$build" --target "fuzz_$target"

corpus="$build/corpus/$target"
findings="$build/findings/$target"
mkdir -p "$corpus" "$findings"
dictionary=()
if [ -f "fuzz/$target.dict" ]; then
  dictionary=(-dict="fuzz/$target.dict")
fi
exec "$build/fuzz/fuzz_$target" "${limit[@]}" -print_final_stats=1 \
  -artifact_prefix="$findings/" "${dictionary[@]}" "$@" "$corpus" "fuzz/corpus/$target"
