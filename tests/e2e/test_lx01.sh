#!/usr/bin/env bash
# Lx01 logical evidence sets in both real hosts: a folder tree with a sparse file and a duplicate,
# written with deflate, with header-less bzip2 blocks over three segments, and with plain stored
# chunks (tree text with a byte-order mark, no integrity hash), is listed with its folders, sizes,
# times, characteristics and digests, tested, and extracted to the same tree; a later segment opens
# the whole set. A wrong stored MD5, a corrupt chunk, a wrong integrity hash of the tree and a
# missing segment give 7-Zip's matching reports while the rest stays readable. Random reads through
# each file's stream match the files for deflate, bzip2 and the sparse file.
source "$(dirname "$0")/lib.sh"

export TZ=UTC
e2e_workdir >/dev/null
E2E_TIMEOUT=120
writer=$VOR7Z_TOOLS/l01_writer
driver=$VOR7Z_TOOLS/vor7z_driver
[ -x "$writer" ] && [ -x "$driver" ] || fail "no $writer or $driver (build the tools)"
chunk=32768

# Items in walk order: 1 Grüße.txt, 4 docs/deep/notes.txt, 5 docs/zero.bin, 7 fill.dat (sparse: one
# byte stored), 9 media/big.bin (several chunks), 10 media/copy.bin (a duplicate of big.bin), 11 readme.txt.
mkdir -p src/docs/deep src/empty-dir src/media
printf 'Grüße aus dem Beweismittel\n' >src/Grüße.txt
seq -f 'note %g' 1 500 >src/docs/deep/notes.txt
: >src/docs/zero.bin
head -c 100001 /dev/zero | tr '\0' 'Z' >src/fill.dat
"$VOR7Z_TOOLS/rawgen" src/media/big.bin $((5 * chunk + 1234)) 5 10 45 45 0 4096 || fail "rawgen failed"
cp src/media/big.bin src/media/copy.bin
seq -f 'line %g of the last text file' 1 40 >src/readme.txt
day=1
while read -r entry; do
  touch -d "2019-03-$((day += 1)) 08:$((day + 10)):$((day + 20))" "$entry"
done < <(find src -mindepth 1 -depth)

# "path|folder|size|modified" of the source below the root entry, and of a "7z l -slt" listing.
expected_items() { # DIR PREFIX
  local e rel
  for e in "$1"/*; do
    [ -e "$e" ] || continue
    rel=$2${e##*/}
    if [ -d "$e" ]; then
      echo "$rel|+||$(date -r "$e" '+%F %T')"
      expected_items "$e" "$rel/"
    else
      echo "$rel|-|$(stat -c %s "$e")|$(date -r "$e" '+%F %T')"
    fi
  done
}
{ echo "LogicalEntries|+||"; expected_items src LogicalEntries/; } >expected.txt
listed_items() {
  awk '/^----------$/ { items = 1; next }
       !items { next }
       /^Path = / { if (p != "") print p "|" f "|" s "|" m; p = substr($0, 8); f = s = m = "" }
       /^Folder = / { f = substr($0, 10) }
       /^Size = / { s = substr($0, 8) }
       /^Modified = / { m = substr($0, 12, 19) }
       END { if (p != "") print p "|" f "|" s "|" m }' "$1"
}

sparse=(--sparse fill.dat --duplicate media/copy.bin=media/big.bin)
make_lx01() { # FOLDER OPTIONS...
  local dir=$1
  shift
  mkdir -p "$dir"
  "$writer" --from src --out "$dir/logical.Lx01" "${sparse[@]}" "$@" || fail "l01_writer $* failed"
}
make_lx01 deflate --digests both
make_lx01 bzip2 --compress bzip2 --digests sha1 --chunks-per-segment 2
[ -f bzip2/logical.Lx03 ] || fail "expected several segments: $(ls bzip2)"
make_lx01 plain --compress plain --no-hash --bom --typed-extents
make_lx01 wrongmd5 --wrong-md5 docs/deep/notes.txt
make_lx01 badchunk --corrupt-chunk 0
make_lx01 badhash --wrong-hash
make_lx01 firstmiss --tree-first --chunks-per-segment 3 --missing-segment 2

for host in $(e2e_hosts); do
  if [ "$host" = win ]; then sep='\\'; else sep=/; fi
  tr / "$sep" <expected.txt >"expected-$host.txt"

  for dir in deflate bzip2 plain; do
    run7z_in "$host" $dir "l-$host.txt" l -slt logical.Lx01
    expect_eq 0 "$RC" "$host: exit code of 7z l $dir"
    expect_contains "Type = Lx01" "l-$host.txt"
    expect_contains "Characteristics = Archive, 04000000" "l-$host.txt"
    listed_items "l-$host.txt" >"items-$host.txt"
    diff "expected-$host.txt" "items-$host.txt" >&2 || fail "$host: $dir: items listed differ from the source tree"
    case $dir in
    deflate) expect_contains "MD5 = $(md5_of src/media/big.bin)" "l-$host.txt" ;;
    bzip2) expect_contains "SHA-1 = $(sha1sum src/media/big.bin | cut -d' ' -f1)" "l-$host.txt" ;;
    esac

    run7z_in "$host" $dir "t-$host.txt" t logical.Lx01
    expect_eq 0 "$RC" "$host: exit code of 7z t $dir"
    expect_contains "Everything is Ok" "t-$host.txt"

    rm -rf "x-$host"
    run7z_in "$host" $dir "x-$host.txt" x -y "-o../x-$host" logical.Lx01
    expect_eq 0 "$RC" "$host: exit code of 7z x $dir"
    diff -r src "x-$host/LogicalEntries" >&2 || fail "$host: $dir: extracted tree differs from the source"
  done

  # A later segment opens the whole set.
  run7z_in "$host" bzip2 "t-$host.txt" t logical.Lx03
  expect_eq 0 "$RC" "$host: exit code of 7z t bzip2/logical.Lx03"
  expect_contains "Everything is Ok" "t-$host.txt"

  # A wrong stored MD5 fails that file only, after all its bytes were written.
  rm -rf "x-$host"
  run7z_in "$host" wrongmd5 "d-$host.txt" x -y "-o../x-$host" logical.Lx01
  expect_eq 2 "$RC" "$host: exit code of 7z x with a wrong MD5"
  grep -qE "CRC Failed : LogicalEntries.docs.deep.notes.txt" "d-$host.txt" ||
    { cat "d-$host.txt" >&2; fail "$host: no CRC failure for notes.txt"; }
  expect_contains "Sub items Errors: 1" "d-$host.txt"
  diff -r src "x-$host/LogicalEntries" >&2 || fail "$host: wrongmd5: extracted tree differs from the source"

  # A corrupt chunk 0: an error for each file with bytes in it; the others are whole.
  rm -rf "x-$host"
  run7z_in "$host" badchunk "d-$host.txt" x -y "-o../x-$host" logical.Lx01
  expect_eq 2 "$RC" "$host: exit code of 7z x badchunk"
  for f in Grüße.txt docs/deep/notes.txt fill.dat media/big.bin media/copy.bin; do
    grep -qE "(Data Error|CRC Failed|Unexpected end of data) : LogicalEntries.${f//\//.}\$" "d-$host.txt" ||
      { cat "d-$host.txt" >&2; fail "$host: badchunk: no error for $f"; }
  done
  expect_contains "Sub items Errors: 5" "d-$host.txt"
  cmp -s src/readme.txt "x-$host/LogicalEntries/readme.txt" || fail "$host: badchunk: readme.txt differs"

  # A tree whose integrity hash does not match: flagged, every file still extracted whole.
  rm -rf "x-$host"
  run7z_in "$host" badhash "d-$host.txt" x -y "-o../x-$host" logical.Lx01
  expect_eq 2 "$RC" "$host: exit code of 7z x badhash"
  expect_contains "Headers Error" "d-$host.txt"
  diff -r src "x-$host/LogicalEntries" >&2 || fail "$host: badhash: extracted tree differs from the source"

  # Segment 2 missing with the tree in segment 1: the files before it are whole, the others fail.
  rm -rf "x-$host"
  run7z_in "$host" firstmiss "m-$host.txt" x -y "-o../x-$host" logical.Lx01
  expect_eq 2 "$RC" "$host: exit code of 7z x with segment 2 missing"
  for f in Grüße.txt docs/deep/notes.txt docs/zero.bin fill.dat; do
    cmp -s "src/$f" "x-$host/LogicalEntries/$f" || fail "$host: firstmiss: $f in segment 1 differs"
  done
  grep -qE "(Unexpected end of data|Data Error) : LogicalEntries.media.big.bin\$" "m-$host.txt" ||
    { cat "m-$host.txt" >&2; fail "$host: firstmiss: no error for big.bin"; }
  echo "$host: Lx01 listed, tested, extracted; damage reported, the rest kept"
done

# Random reads through each file's own stream, with the plugin the Linux host loads.
for dir in deflate bzip2; do
  for item in 7:fill.dat 9:media/big.bin 10:media/copy.bin 11:readme.txt; do
    (cd $dir && timeout -k 5 300 "$driver" --codecs --plugin "$(host_formats_dir linux)/vor7z.so" --item "${item%%:*}" \
      randread Lx01 logical.Lx01 "../src/${item#*:}" 300 "${item%%:*}" 40000) >r.txt 2>&1 ||
      { cat r.txt >&2; fail "randread $dir ${item#*:}"; }
    expect_contains ", 0 errors" r.txt
  done
done
exit 0
