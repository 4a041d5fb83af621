#!/usr/bin/env bash
# check_image.sh OBJDUMP IMAGE: checks the shape of the shipped zorvane.exe.
#  - It imports only DLLs that Windows itself provides: the program is one
#    file, so a library such as zlib must be linked in, not loaded.
#  - Its sections are page-aligned in the file, so that the loader maps them
#    from the file rather than copying the whole image into private memory.
#  - It carries no debug sections, which the loader would map as well.
set -euo pipefail
objdump=$1 image=$2
headers=$("$objdump" -p "$image")
sections=$("$objdump" -h "$image")
status=0

system_dlls=" advapi32.dll comctl32.dll gdi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll psapi.dll"
system_dlls+=" shell32.dll user32.dll uxtheme.dll version.dll wininet.dll ws2_32.dll "
while read -r dll; do
  lower=$(tr '[:upper:]' '[:lower:]' <<<"$dll")
  if [[ "$system_dlls" != *" $lower "* ]]; then
    echo "imports $dll, which Windows does not provide" >&2
    status=1
  fi
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")

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
exit $status
