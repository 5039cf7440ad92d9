#!/usr/bin/env bash
# The plugin loads in both real hosts (its exports present, no DLL a plain Windows lacks), shows its
# nine formats as registered, and a file that carries only a format's signature is refused with an
# error report instead of a crash or a hang.
source "$(dirname "$0")/lib.sh"

e2e_workdir >/dev/null

# name, extension, signature bytes (printf escapes) of each format's minimal file.
signatures=(
  "E01 E01 EVF\t\r\n\xff\x00\x01"
  "L01 L01 LVF\t\r\n\xff\x00\x01"
  "Ex01 Ex01 EVF2\r\n\x81\x00"
  "Lx01 Lx01 LEF2\r\n\x81\x00"
  "AD1 AD1 ADSEGMENTEDFILE\x00"
  "AFF aff AFF10\r\n\x00"
  "WHX whx WHX Backup v1.0"
  "AFF4 aff4 PK\x03\x04"
  "ADCrypt 001 ADCRYPT\x00"
)

for entry in "${signatures[@]}"; do
  read -r name ext sig <<<"$entry"
  for file in "sig-$name.$ext" "sig-$name.bin"; do
    printf "$sig" >"$file"
    head -c 4096 /dev/zero >>"$file"
  done
done

exports="CreateObject GetHandlerProperty2 GetIsArc GetModuleProp GetNumberOfFormats SetCodecs"

# The DLL a user copies must run on a bare Windows: only system DLLs may be imported, and the
# exports must carry their plain names.
check_dll() {
  local dll=$1 objdump=x86_64-w64-mingw32-objdump name
  command -v "$objdump" >/dev/null || { echo "($objdump missing: DLL imports not checked)"; return 0; }
  "$objdump" -p "$dll" >dll-headers.txt || fail "$objdump cannot read $dll"
  sed -n 's/^\s*DLL Name: //p' dll-headers.txt | tr 'A-Z' 'a-z' | sort >dll-imports.txt
  while read -r name; do
    case $name in
    kernel32.dll | advapi32.dll | msvcrt.dll | ole32.dll | oleaut32.dll | user32.dll | shell32.dll | \
      bcrypt.dll | ntdll.dll | crypt32.dll | shlwapi.dll | ws2_32.dll) ;;
    *) fail "vor7z.dll imports $name, which a plain Windows lacks (imports: $(tr '\n' ' ' <dll-imports.txt))" ;;
    esac
  done <dll-imports.txt
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' dll-headers.txt | sed -n 's/^\s*\[ *[0-9]*\] //p' >dll-exports.txt
  for name in $exports; do
    grep -qx "$name" dll-exports.txt || fail "vor7z.dll does not export '$name' (exports: $(tr '\n' ' ' <dll-exports.txt))"
  done
}

check_so() {
  local so=$1 name
  nm -D --defined-only "$so" | awk '{print $NF}' >so-exports.txt || fail "nm cannot read $so"
  for name in $exports; do
    grep -qx "$name" so-exports.txt || fail "vor7z.so does not export '$name'"
  done
}

for host in $(e2e_hosts); do
  plugin=vor7z.so
  [ "$host" = win ] && plugin=vor7z.dll
  if [ "$host" = win ]; then check_dll "$(host_formats_dir win)/$plugin"; else check_so "$(host_formats_dir linux)/$plugin"; fi

  expect_vor7z_info "$host"

  for entry in "${signatures[@]}"; do
    read -r name ext _ <<<"$entry"
    # By extension (list and test), then by signature alone through the IsArc functions.
    for cmd in "l sig-$name.$ext" "t sig-$name.$ext" "l sig-$name.bin"; do
      log="open-$host-${cmd// /-}.txt"
      # shellcheck disable=SC2086
      run7z "$host" $cmd >"$log" 2>&1
      rc=$?
      expect_clean_exit "$rc" "$host: 7z $cmd"
      expect_not_contains "Codec Load Error" "$log"
      grep -Eq 'ERROR|Errors:|Can ?not open' "$log" ||
        { cat "$log" >&2; fail "$host: 7z $cmd (exit code $rc) reported no error for a file that is only a signature"; }
    done
  done
  echo "$host: 9 formats listed; signature-only files refused without a crash"
done
