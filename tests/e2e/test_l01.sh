#!/usr/bin/env bash
# L01 logical evidence sets in both real hosts: a folder tree written in one segment and in a
# three-segment set (stored chunks, SHA-1 digests) is listed with its folders, sizes, times and
# characteristics, tested, and extracted to the same tree, which is also what libewf exports; a later
# segment opens the whole set; a wrong stored MD5, a corrupt chunk and a missing segment give
# 7-Zip's matching reports while the rest stays readable and nothing crashes or hangs.
source "$(dirname "$0")/lib.sh"

# Dates in the listing and on extracted files are compared as UTC.
export TZ=UTC
e2e_workdir >/dev/null
E2E_TIMEOUT=120
writer=$VOR7Z_TOOLS/l01_writer
[ -x "$writer" ] || fail "no $writer (build the tools)"
chunk=32768  # the writer's default: 64 sectors of 512 bytes

# The source tree: nested and empty folders, a 0-byte file, a file over several chunks, text, and a
# name outside ASCII. In the data image the files lie in walk order: Grüße.txt, notes.txt and the
# start of big.bin share chunk 0; zero.bin holds no bytes; readme.txt comes after big.bin.
mkdir -p src/docs/deep src/empty-dir src/media
printf 'Grüße aus dem Beweismittel\n' >src/Grüße.txt
seq -f 'note %g' 1 500 >src/docs/deep/notes.txt
: >src/docs/zero.bin
"$VOR7Z_TOOLS/rawgen" src/media/big.bin $((5 * chunk + 1234)) 5 10 45 45 0 4096 || fail "rawgen failed"
seq -f 'line %g of the last text file' 1 40 >src/readme.txt
day=1
while read -r entry; do
  touch -d "2019-03-$((day += 1)) 08:$((day + 10)):$((day + 20))" "$entry"
done < <(find src -mindepth 1 -depth)

# The expected listing, "path|folder|size|modified|created" in walk order below the root entry
# "LogicalEntries" (which has no times); the creation time is written as the modification time.
expected_items() { # DIR PREFIX
  local e rel t
  for e in "$1"/*; do
    [ -e "$e" ] || continue
    rel=$2${e##*/}
    t=$(date -r "$e" '+%F %T')
    if [ -d "$e" ]; then
      echo "$rel|+||$t|$t"
      expected_items "$e" "$rel/"
    else
      echo "$rel|-|$(stat -c %s "$e")|$t|$t"
    fi
  done
}
{ echo "LogicalEntries|+|||"; expected_items src LogicalEntries/; } >expected.txt

tree_mtimes src >mtimes.txt

# The items of a "7z l -slt" listing in the same form.
listed_items() {
  awk '/^----------$/ { items = 1; next }
       !items { next }
       /^Path = / { if (p != "") print p "|" f "|" s "|" m "|" c; p = substr($0, 8); f = s = m = c = "" }
       /^Folder = / { f = substr($0, 10) }
       /^Size = / { s = substr($0, 8) }
       /^Modified = / { m = substr($0, 12, 19) }
       /^Created = / { c = substr($0, 11, 19) }
       END { if (p != "") print p "|" f "|" s "|" m "|" c }' "$1"
}

# Each set in its own folder, so a host only finds the segments that belong to it.
make_l01() { # FOLDER OPTIONS...
  local dir=$1
  shift
  mkdir -p "$dir"
  "$writer" --from src --out "$dir/logical.L01" "$@" || fail "l01_writer $* failed"
}
make_l01 one --digests both
chunks=$(( ($(find src -type f -printf '%s\n' | awk '{ n += $1 } END { print n }') + chunk - 1) / chunk ))
per_segment=$(( (chunks + 2) / 3 ))
make_l01 set --stored --digests sha1 --chunks-per-segment $per_segment
[ -f set/logical.L03 ] && [ ! -f set/logical.L04 ] || fail "expected three segments: $(ls set)"

make_l01 wrongmd5 --wrong-md5 docs/deep/notes.txt
make_l01 badchunk --corrupt-chunk 0
make_l01 nodigest --digests none --corrupt-chunk 0
make_l01 miss2 --chunks-per-segment $per_segment --missing-segment 2
make_l01 miss3 --chunks-per-segment $per_segment --missing-segment 3
make_l01 firstmiss --tree-first --chunks-per-segment $per_segment --missing-segment 2
# big.bin starts after Grüße.txt and notes.txt; what segment 1 holds of it:
big_in_first=$((per_segment * chunk - $(stat -c %s src/Grüße.txt) - $(stat -c %s src/docs/deep/notes.txt)))

# libewf reads L01 too: what it exports must be the source tree as well.
if command -v ewfexport >/dev/null; then
  for dir in one set; do
    ewfexport -q -f files -t "ewf-$dir" "$dir/logical.L01" >"ewf-$dir.log" 2>&1 || { cat "ewf-$dir.log" >&2; fail "ewfexport $dir"; }
    diff -r src "ewf-$dir/LogicalEntries" >&2 || fail "ewfexport of $dir differs from the source"
  done
fi


for host in $(e2e_hosts); do
  if [ "$host" = win ]; then sep='\\'; else sep=/; fi
  tr / "$sep" <expected.txt >"expected-$host.txt"

  for dir in one set; do
    run7z_in "$host" $dir "l-$host.txt" l -slt logical.L01
    expect_eq 0 "$RC" "$host: exit code of 7z l $dir"
    expect_contains "Type = L01" "l-$host.txt"
    expect_contains "Characteristics = Archive" "l-$host.txt"
    expect_contains "Characteristics = Folder" "l-$host.txt"
    listed_items "l-$host.txt" >"items-$host.txt"
    diff "expected-$host.txt" "items-$host.txt" >&2 || fail "$host: $dir: items listed differ from the source tree"
    expect_contains "SHA-1 = $(sha1sum src/media/big.bin | cut -d' ' -f1)" "l-$host.txt"
    case $dir in
    one) expect_contains "MD5 = $(md5_of src/media/big.bin)" "l-$host.txt" ;;
    set) ! grep -q '^MD5 = .' "l-$host.txt" || fail "$host: set: an MD5 listed although only SHA-1 is stored" ;;
    esac

    run7z_in "$host" $dir "t-$host.txt" t logical.L01
    expect_eq 0 "$RC" "$host: exit code of 7z t $dir"
    expect_contains "Everything is Ok" "t-$host.txt"

    rm -rf "x-$host"
    run7z_in "$host" $dir "x-$host.txt" x -y "-o../x-$host" logical.L01
    expect_eq 0 "$RC" "$host: exit code of 7z x $dir"
    diff -r src "x-$host/LogicalEntries" >&2 || fail "$host: $dir: extracted tree differs from the source"
    tree_mtimes "x-$host/LogicalEntries" >"mx-$host.txt"
    diff mtimes.txt "mx-$host.txt" >&2 || fail "$host: $dir: modification times of the extracted tree"
    if [ -d "ewf-$dir" ]; then
      diff -r "ewf-$dir" "x-$host" >&2 || fail "$host: $dir: our extraction differs from libewf's export"
    fi
  done

  # A later segment opens the whole set.
  for seg in L02 L03; do
    run7z_in "$host" set "l2-$host.txt" l -slt logical.$seg
    expect_eq 0 "$RC" "$host: exit code of 7z l set/logical.$seg"
    listed_items "l2-$host.txt" >"items-$host.txt"
    diff "expected-$host.txt" "items-$host.txt" >&2 || fail "$host: set/logical.$seg: items listed differ"
  done
  run7z_in "$host" set "t-$host.txt" t logical.L03
  expect_eq 0 "$RC" "$host: exit code of 7z t set/logical.L03"
  expect_contains "Everything is Ok" "t-$host.txt"

  # A wrong stored MD5: that file fails its check after all its bytes were written, the others pass.
  rm -rf "x-$host"
  run7z_in "$host" wrongmd5 "d-$host.txt" x -y "-o../x-$host" logical.L01
  expect_eq 2 "$RC" "$host: exit code of 7z x with a wrong MD5"
  grep -qE "CRC Failed : LogicalEntries.docs.deep.notes.txt" "d-$host.txt" ||
    { cat "d-$host.txt" >&2; fail "$host: no CRC failure for notes.txt"; }
  expect_contains "Sub items Errors: 1" "d-$host.txt"
  diff -r src "x-$host/LogicalEntries" >&2 || fail "$host: wrongmd5: extracted tree differs from the source"

  # A corrupt chunk 0: an error for each file with bytes in it, whether or not digests are stored;
  # the files beside it are extracted as they were.
  for dir in badchunk nodigest; do
    rm -rf "x-$host"
    run7z_in "$host" $dir "d-$host.txt" x -y "-o../x-$host" logical.L01
    expect_eq 2 "$RC" "$host: exit code of 7z x $dir"
    for f in Grüße.txt docs/deep/notes.txt media/big.bin; do
      grep -qE "(Data Error|CRC Failed|Unexpected end of data) : LogicalEntries.${f//\//.}\$" "d-$host.txt" ||
        { cat "d-$host.txt" >&2; fail "$host: $dir: no error for $f in the corrupt chunk"; }
    done
    expect_contains "Sub items Errors: 3" "d-$host.txt"
    for f in docs/zero.bin readme.txt; do
      cmp -s "src/$f" "x-$host/LogicalEntries/$f" || fail "$host: $dir: $f beside the corrupt chunk differs"
    done
    [ -d "x-$host/LogicalEntries/empty-dir" ] || fail "$host: $dir: empty-dir not extracted"
  done

  # The last segment missing, with the tree in it as real writers put it: no items, but an error
  # that says the set was cut short, never an empty archive that tests fine; nothing crashes or hangs.
  for dir in miss3; do
    run7z_in "$host" $dir "m-$host.txt" l -slt logical.L01
    listed_items "m-$host.txt" >"items-$host.txt"
    [ ! -s "items-$host.txt" ] || { cat "m-$host.txt" >&2; fail "$host: $dir: items listed from a tree that was not read"; }
    run7z_in "$host" $dir "m-$host.txt" t logical.L01
    expect_eq 2 "$RC" "$host: $dir: exit code of 7z t with a segment missing"
    expect_contains "Unexpected end of archive" "m-$host.txt"
    rm -rf "x-$host"
    run7z_in "$host" $dir "m-$host.txt" x -y "-o../x-$host" logical.L01
    [ -z "$(find "x-$host" -type f 2>/dev/null)" ] || fail "$host: $dir: files extracted from a tree that was not read"
  done
  # A middle segment missing costs the bytes it held: the segments after it are read, with the tree
  # in the last segment or in the first. big.bin runs through segment 2: it is written whole, its
  # bytes from segment 1 as they were, and fails; every other file comes out as it was.
  for dir in miss2 firstmiss; do
    rm -rf "x-$host"
    run7z_in "$host" $dir "m-$host.txt" x -y "-o../x-$host" logical.L01
    expect_eq 2 "$RC" "$host: $dir: exit code of 7z x with segment 2 missing"
    expect_contains "Unexpected end of archive" "m-$host.txt"
    grep -qE "Unexpected end of data : LogicalEntries.media.big.bin" "m-$host.txt" || fail "$host: $dir: no error for big.bin"
    expect_contains "Sub items Errors: 1" "m-$host.txt"
    for f in Grüße.txt docs/deep/notes.txt docs/zero.bin readme.txt; do
      cmp -s "src/$f" "x-$host/LogicalEntries/$f" || fail "$host: $dir: $f differs from the source"
    done
    expect_eq "$(stat -c %s src/media/big.bin)" "$(stat -c %s "x-$host/LogicalEntries/media/big.bin")" "$host: $dir: size of big.bin"
    cmp -s -n "$big_in_first" src/media/big.bin "x-$host/LogicalEntries/media/big.bin" || fail "$host: $dir: big.bin from segment 1 differs"
  done
  echo "$host: L01 listed, tested, extracted; damage reported, the rest kept"
done
exit 0
