#!/usr/bin/env bash
# AD1 logical images in both real hosts: a folder tree written as version 3 and 4 images, in one
# segment and in a three-segment set, is listed in walk order with its folders, sizes and times,
# tested, and extracted to the same tree; a later segment opens the whole set; a wrong stored digest,
# a corrupt chunk and a missing segment give 7-Zip's matching reports while the rest stays readable.
source "$(dirname "$0")/lib.sh"

# Dates in the listing and on extracted files are compared as UTC.
export TZ=UTC
e2e_workdir >/dev/null
writer=$VOR7Z_TOOLS/ad1_writer
[ -x "$writer" ] || fail "no $writer (build the tools)"
chunk=4096

# The source tree: nested and empty folders, a 0-byte file, one of exactly one chunk, one of several
# chunks and a tail, text, and a name outside ASCII. Every entry gets its own modification time.
mkdir -p src/docs/deep src/empty-dir src/media
seq -f 'line %g of the first text file' 1 40 >src/readme.txt
printf 'Grüße aus dem Beweismittel\n' >src/Grüße.txt
: >src/docs/zero.bin
"$VOR7Z_TOOLS/rawgen" src/docs/deep/exact.bin $chunk 3 0 1 1 || fail "rawgen failed"
seq -f 'note %g' 1 500 >src/docs/deep/notes.txt
"$VOR7Z_TOOLS/rawgen" src/media/big.bin $((14 * chunk + 1234)) 5 10 45 45 0 $chunk || fail "rawgen failed"
day=1
while read -r entry; do
  touch -d "2019-03-$((day += 1)) 08:$((day + 10)):$((day + 20))" "$entry"
done < <(find src -mindepth 1 -depth)

# The expected listing, "path|folder|size|modified" in walk order: a folder before its contents,
# siblings by name.
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
expected_items src "" >expected.txt

tree_mtimes src >mtimes.txt

# The items of a "7z l -slt" listing in the same form.
listed_items() {
  awk '/^----------$/ { items = 1; next }
       !items { next }
       /^Path = / { if (p != "") print p "|" f "|" s "|" m; p = substr($0, 8); f = s = m = "" }
       /^Folder = / { f = substr($0, 10) }
       /^Size = / { s = substr($0, 8) }
       /^Modified = / { m = substr($0, 12, 19) }
       END { if (p != "") print p "|" f "|" s "|" m }' "$1"
}

# Each image in its own folder, so a host only finds the segments that belong to it.
source_name='D:\Case 17\Grüße'
make_ad1() { # FOLDER OPTIONS...
  local dir=$1
  shift
  mkdir -p "$dir"
  "$writer" --from src --out "$dir/image.ad1" --chunk $chunk --source "$source_name" "$@" || fail "ad1_writer $* failed"
}
make_ad1 v3
make_ad1 v4 --version 4 --digests sha1
# Segment size for exactly three segments of the same data space.
data=$(($(stat -c %s v3/image.ad1) - 512))
segment=$((512 + (data + 2) / 3))
make_ad1 v3set --segment-size $segment --digests md5
make_ad1 v4set --version 4 --segment-size $segment --digests none
for set in v3set v4set; do
  [ -f $set/image.ad3 ] && [ ! -f $set/image.ad4 ] || fail "$set: expected three segments: $(ls $set)"
done

# Damage, in the three-segment layout.
make_ad1 wrongmd5 --segment-size $segment --wrong-md5 docs/deep/notes.txt
make_ad1 wrongsha1 --segment-size $segment --digests sha1 --wrong-sha1 docs/deep/notes.txt
make_ad1 md5first --segment-size $segment --wrong-sha1 docs/deep/notes.txt
make_ad1 badchunk --segment-size $segment --corrupt-chunk media/big.bin
make_ad1 missing --segment-size $segment --missing 3


for host in $(e2e_hosts); do
  if [ "$host" = win ]; then sep='\\'; else sep=/; fi
  tr / "$sep" <expected.txt >"expected-$host.txt"

  for dir in v3 v4 v3set v4set; do
    run7z_in "$host" $dir "l-$host.txt" l -slt image.ad1
    expect_eq 0 "$RC" "$host: exit code of 7z l $dir"
    expect_contains "Type = AD1" "l-$host.txt"
    expect_contains "Source = $source_name" "l-$host.txt"
    listed_items "l-$host.txt" >"items-$host.txt"
    diff "expected-$host.txt" "items-$host.txt" >&2 || fail "$host: $dir: items listed differ from the source tree"
    case $dir in
    v3) expect_contains "MD5 = $(md5_of src/media/big.bin)" "l-$host.txt" ;;
    v4) expect_contains "SHA-1 = $(sha1sum src/media/big.bin | cut -d' ' -f1)" "l-$host.txt" ;;
    esac

    run7z_in "$host" $dir "t-$host.txt" t image.ad1
    expect_eq 0 "$RC" "$host: exit code of 7z t $dir"
    expect_contains "Everything is Ok" "t-$host.txt"

    rm -rf "x-$host"
    run7z_in "$host" $dir "x-$host.txt" x -y "-o../x-$host" image.ad1
    expect_eq 0 "$RC" "$host: exit code of 7z x $dir"
    diff -r src "x-$host" >&2 || fail "$host: $dir: extracted tree differs from the source"
    tree_mtimes "x-$host" >"mx-$host.txt"
    diff mtimes.txt "mx-$host.txt" >&2 || fail "$host: $dir: modification times of the extracted tree"
  done

  # A later segment opens the whole set.
  for set in v3set v4set; do
    run7z_in "$host" $set "l2-$host.txt" l -slt image.ad2
    expect_eq 0 "$RC" "$host: exit code of 7z l $set/image.ad2"
    listed_items "l2-$host.txt" >"items-$host.txt"
    diff "expected-$host.txt" "items-$host.txt" >&2 || fail "$host: $set/image.ad2: items listed differ"
  done
  run7z_in "$host" v4set "t-$host.txt" t image.ad3
  expect_eq 0 "$RC" "$host: exit code of 7z t v4set/image.ad3"
  expect_contains "Everything is Ok" "t-$host.txt"

  # A wrong stored digest: that file fails its check after all its bytes were written, the others
  # pass. Every stored digest counts, so a wrong SHA-1 beside a right MD5 fails it too.
  for dir in wrongmd5 wrongsha1 md5first; do
    rm -rf "x-$host"
    run7z_in "$host" $dir "d-$host.txt" x -y "-o../x-$host" image.ad1
    expect_eq 2 "$RC" "$host: exit code of 7z x $dir"
    expect_contains "CRC Failed" "d-$host.txt"
    expect_contains "notes.txt" "d-$host.txt"
    expect_contains "Sub items Errors: 1" "d-$host.txt"
    diff -r src "x-$host" >&2 || fail "$host: $dir: extracted tree differs from the source"
  done

  # A corrupt chunk: Data Error for that file only.
  rm -rf "x-$host"
  run7z_in "$host" badchunk "d-$host.txt" x -y "-o../x-$host" image.ad1
  expect_eq 2 "$RC" "$host: exit code of 7z x with a corrupt chunk"
  expect_contains "Data Error" "d-$host.txt"
  expect_contains "big.bin" "d-$host.txt"
  expect_contains "Sub items Errors: 1" "d-$host.txt"
  diff -r -x big.bin src "x-$host" >&2 || fail "$host: files beside the corrupt chunk differ from the source"

  # The last segment missing: the host hears of the unexpected end, what lies in the first two
  # segments is extracted as it was.
  rm -rf "x-$host"
  run7z_in "$host" missing "d-$host.txt" x -y "-o../x-$host" image.ad1
  expect_eq 2 "$RC" "$host: exit code of 7z x with a missing segment"
  expect_contains "Unexpected end" "d-$host.txt"
  for f in Grüße.txt docs/deep/exact.bin docs/deep/notes.txt docs/zero.bin; do
    cmp -s "src/$f" "x-$host/$f" || fail "$host: $f before the missing segment differs from the source"
  done
  # big.bin runs into the missing segment: an error for it; it is written whole, what was decoded
  # before at its place and zeros from the first lost chunk on.
  grep -qE "(Data Error|Unexpected end of data) : media.big.bin" "d-$host.txt" ||
    { cat "d-$host.txt" >&2; fail "$host: no error for the file cut by the missing segment"; }
  got="x-$host/media/big.bin"
  expect_eq "$(stat -c %s src/media/big.bin)" "$(stat -c %s "$got")" "$host: size of big.bin cut by the missing segment"
  first=$(cmp src/media/big.bin "$got" | awk '{print $5}' | tr -d ,)
  [ -n "$first" ] && [ "$first" -gt $((4 * chunk)) ] &&
    [ "$(tail -c +$(((first - 1) / chunk * chunk + 1)) "$got" | tr -d '\0' | wc -c)" = 0 ] ||
    fail "$host: big.bin differs from the source at byte ${first:-none}, expected zeros from a chunk after the first $((4 * chunk)) bytes on"
  echo "$host: AD1 listed, tested, extracted; damage reported, the rest kept"
done
exit 0
