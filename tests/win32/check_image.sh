#!/usr/bin/env bash
# check_image.sh OBJDUMP IMAGE IMPORTS [CARRIED]: checks the shape of a shipped client.
#  - It imports only functions that the oldest Windows it serves provides
#    (the list IMPORTS: windows_2000_imports.txt for zorvane.exe,
#    windows_xp_x64_imports.txt for zorvane64.exe): the program is one file,
#    so a library such as zlib must be linked in, not loaded; and the loader
#    refuses an image with a single import the system lacks.
#  - Its sections are page-aligned in the file, so that the loader maps them
#    from the file rather than copying the whole image into private memory.
#  - It carries no debug sections, which the loader would map as well.
#  - Given CARRIED (zorvane.exe's zorvane64.exe), it holds that file whole.
set -euo pipefail
objdump=$1 image=$2 imports=$3 carried=${4:-}
headers=$("$objdump" -p "$image")
sections=$("$objdump" -h "$image")
status=0

allowed=$(grep -v '^#' "$imports")
imported=$(sed -n '/The Import Tables/,/^The /p' <<<"$headers" |
  awk '/DLL Name/ { dll = tolower($3); next } /^\t[0-9a-f]+\t/ { print dll "!" $3 }')
if [ -z "$imported" ]; then
  echo "no imports found: objdump's output has changed" >&2
  status=1
fi
while read -r function; do
  if ! grep -qxF "$function" <<<"$allowed"; then
    echo "imports $function, which is not known to exist on the oldest Windows it serves ($(basename "$imports"))" >&2
    status=1
  fi
done <<<"$imported"

file_alignment=$(sed -n 's/^FileAlignment[[:space:]]*//p' <<<"$headers")
section_alignment=$(sed -n 's/^SectionAlignment[[:space:]]*//p' <<<"$headers")
if [ -z "$file_alignment" ] || [ $((16#$file_alignment)) -lt 4096 ] || [ "$file_alignment" != "$section_alignment" ]; then
  echo "file alignment $file_alignment, section alignment $section_alignment: sections are not page-aligned" >&2
  status=1
fi

if grep -q '[[:space:]]\.debug' <<<"$sections"; then
  echo "carries debug sections:" >&2
  grep '[[:space:]]\.debug' <<<"$sections" >&2
  status=1
fi
if [ -n "$carried" ] && ! python3 -c 'import sys; sys.exit(open(sys.argv[2], "rb").read() not in open(sys.argv[1], "rb").read())' "$image" "$carried"; then
  echo "does not carry $carried" >&2
  status=1
fi
exit $status
