#!/usr/bin/env bash
# The plugin loads in both real hosts (its exports present, no DLL a plain Windows lacks), shows its
# seven formats as registered, and a file that carries only a format's signature is refused with an
# error report instead of a crash or a hang.
source "$(dirname "$0")/lib.sh"

e2e_workdir >/dev/null

# "7z i" lines of our library (index 1, after the host's own 7z.so/7z.dll), blanks collapsed.
expected_formats() {
  cat <<'EOF'
1 ...................... AD1 AD1 A D S E G M E N T E D F I L E
1 ...................... AFF aff A F F 1 0 0D 0A 00
1 ...................... E01 s01 e01 E V F 09 0D 0A FF 00
1 ...................... Ex01 ex01 E V F 2 0D 0A 81 00
1 ...................... L01 l01 L V F 09 0D 0A FF 00
1 ...................... Lx01 lx01 L E F 2 0D 0A 81 00
1 ...................... WHX whx W H X 20 B a c k u p 20 v 1 . 0
EOF
}

# name, extension, signature bytes (printf escapes) of each format's minimal file.
signatures=(
  "E01 E01 EVF\t\r\n\xff\x00\x01"
  "L01 L01 LVF\t\r\n\xff\x00\x01"
  "Ex01 Ex01 EVF2\r\n\x81\x00"
  "Lx01 Lx01 LEF2\r\n\x81\x00"
  "AD1 AD1 ADSEGMENTEDFILE\x00"
  "AFF aff AFF10\r\n\x00"
  "WHX whx WHX Backup v1.0"
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

  run7z "$host" i >"info-$host.txt" 2>&1
  rc=$?
  expect_clean_exit "$rc" "$host: 7z i"
  expect_eq 0 "$rc" "$host: exit code of 7z i"
  expect_not_contains "Codec Load Error" "info-$host.txt"
  # The library line: index 1, the version from GetModuleProp, loaded from Formats.
  grep -Eq "^ *1 : ${VOR7Z_VERSION//./\\.} : .*Formats[/\\]$plugin\$" "info-$host.txt" ||
    { cat "info-$host.txt" >&2; fail "$host: vor7z $VOR7Z_VERSION is not listed as library 1 from Formats/$plugin"; }
  sed -n '/^Formats:/,/^$/p' "info-$host.txt" | grep -E '^ *1 ' | tr -s ' ' | sed 's/^ //; s/ $//' >"formats-$host.txt"
  if ! diff -u <(expected_formats) "formats-$host.txt" >"formats-$host.diff"; then
    cat "formats-$host.diff" >&2
    fail "$host: the formats of 7z i differ from the registered ones"
  fi

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
  echo "$host: 7 formats listed; signature-only files refused without a crash"
done
