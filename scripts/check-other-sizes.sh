#!/usr/bin/env bash
# Restores of images of another size than the drive, judged by tools no one here wrote.
#   check-other-sizes.sh ENGINE_TESTS_EXE STATE_DIR
# Makes MBR and GPT images (sfdisk, sgdisk) with a FAT file system (mkfs.fat, mtools)
# in their last partition, and file-backed drives 1 MiB smaller and larger; the
# program restores them (OtherSizeTools in engine_tests, on simulated drives backed by
# these files); then sgdisk -v, sfdisk -V, fsck.fat -n and mtools judge the drives.
set -euo pipefail
exe=$1
dir=$2
scripts=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:?WINEPREFIX must name the prefix of the test run}"
rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"
fail=0
export MTOOLS_SKIP_CHECK=1
bad() { echo "FAIL: $*"; fail=1; }

MiB=$((1 << 20))
head -c 300000 /dev/urandom >data.bin
echo "written onto a drive of another size" >hello.txt

# A FAT file system of $2 sectors with the two files, put into image $1 at sector $3.
put_fat() {
  rm -f part.fat
  truncate -s $(($2 * 512)) part.fat
  mkfs.fat -n KORVANE part.fat >/dev/null
  mcopy -i part.fat hello.txt ::HELLO.TXT
  mcopy -i part.fat data.bin ::DATA.BIN
  dd if=part.fat of="$1" bs=512 seek="$3" conv=notrunc status=none
}

# MBR, 8 MiB: a small partition, then the FAT one ending at 7 MiB (sector 14336).
truncate -s 8M mbr.img
printf 'label: dos\nstart=2048, size=4096, type=c\nstart=6144, size=8192, type=c\n' | sfdisk -q mbr.img
put_fat mbr.img 8192 6144
# The same, its last partition reaching past 7 MiB.
truncate -s 8M mbr-long.img
printf 'label: dos\nstart=2048, size=4096, type=c\nstart=6144, size=8193, type=c\n' | sfdisk -q mbr-long.img
# The same as mbr.img, with one byte of data past 7 MiB.
cp mbr.img mbr-tail.img
printf 'x' | dd of=mbr-tail.img bs=1 seek=$((7 * MiB + 4096)) conv=notrunc status=none

# GPT, 8 MiB: the FAT partition ends at sector 14302, where a 7 MiB drive's table begins after it.
truncate -s 8M gpt.img
sgdisk -n 1:2048:4095 -t 1:0700 -n 2:4096:14302 -t 2:0700 gpt.img >/dev/null
put_fat gpt.img $((14302 - 4096 + 1)) 4096
truncate -s 8M gpt-long.img
sgdisk -n 1:2048:4095 -t 1:0700 -n 2:4096:14303 -t 2:0700 gpt-long.img >/dev/null
cp gpt.img gpt-tail.img
# A checksum file for gpt.img: onto the smaller drive the restore writes the moved table over
# the image's last bytes, and the checksum must still be that of the file as it lies.
sha256sum gpt.img >gpt.img.sha256
printf 'x' | dd of=gpt-tail.img bs=1 seek=$((7 * MiB + 4096)) conv=notrunc status=none

# Drives: random bytes; the larger ones hold an old GPT of their own.
drive() { head -c $(($2 * MiB / 2)) /dev/urandom >"$1"; head -c $(($2 * MiB / 2)) /dev/urandom >>"$1"; }
drive small-mbr.bin 7; drive small-gpt.bin 7
drive large-mbr.bin 9; drive large-gpt.bin 9
for d in large-mbr.bin large-gpt.bin; do sgdisk -o -n 1:2048:0 "$d" >/dev/null; done
drive small-refuse.bin 7; drive 4k.bin 9
cat >cases.txt <<EOF
mbr.img small-mbr.bin 512 written
mbr.img large-mbr.bin 512 written
gpt.img small-gpt.bin 512 written
gpt.img large-gpt.bin 512 written
mbr-long.img small-refuse.bin 512 refused
mbr-tail.img small-refuse.bin 512 refused
gpt-long.img small-refuse.bin 512 refused
gpt-tail.img small-refuse.bin 512 refused
gpt.img 4k.bin 4096 sector
EOF

# Creates of the partitions only, from drives of 24 MiB whose partitions end at 8 MiB,
# random bytes after them; then restores of those images onto drives of 12 MiB.
trap 'for l in $(cat loops 2>/dev/null); do losetup -d "$l" 2>/dev/null || true; done' EXIT
: >loops
loop4k() { # a loop device of 4096-byte sectors over file $1 (read-only with $2=-r)
  local l
  l=$(losetup ${2:-} -b 4096 -f --show "$1" 2>/dev/null) || return 1
  echo "$l" >>loops
  echo "$l"
}
drive pmbr.bin 24
printf 'label: dos\nstart=2048, size=4096, type=c\nstart=6144, size=10240, type=5\nstart=8192, size=8192, type=c\n' |
  sfdisk -q --wipe always pmbr.bin
put_fat pmbr.bin 4096 2048; put_fat pmbr.bin 8192 8192
drive pgpt.bin 24
sgdisk -Z pgpt.bin >/dev/null 2>&1 || true
sgdisk -o -n 1:2048:4095 -t 1:0700 -n 2:4096:16383 -t 2:0700 pgpt.bin >/dev/null
put_fat pgpt.bin 2048 2048; put_fat pgpt.bin 12288 4096
drive small-pmbr.bin 12; drive small-pgpt.bin 12
printf '%s\n' "pmbr.img pmbr.bin 512 created $((16384 * 512))" \
  "pgpt.img pgpt.bin 512 created $(((16384 + 33) * 512))" \
  "ptamper.img pgpt.bin 512 tampered $(((16384 + 33) * 512))" \
  "pmbr.img small-pmbr.bin 512 written" "pgpt.img small-pgpt.bin 512 written" >>cases.txt
# 4096-byte sectors: sgdisk reads a file as 512-byte sectors, a loop device as the device's.
drive pgpt4k.bin 24; drive small-pgpt4k.bin 12
have4k=0
if l=$(loop4k pgpt4k.bin); then
  sgdisk -Z "$l" >/dev/null 2>&1 || true
  sgdisk -o -n 1:256:511 -t 1:0700 -n 2:512:2047 -t 2:0700 "$l" >/dev/null && have4k=1
  losetup -d "$l"
fi
if [ $have4k = 1 ]; then
  put_fat pgpt4k.bin 2048 2048; put_fat pgpt4k.bin 12288 4096
  printf '%s\n' "pgpt4k.img pgpt4k.bin 4096 created $(((2048 + 5) * 4096))" \
    "pgpt4k.img small-pgpt4k.bin 4096 written" >>cases.txt
else
  echo "SKIP: no loop device of 4096-byte sectors (losetup -b 4096): the 4096-byte GPT create is not checked"
fi
sha256sum pmbr.bin pgpt.bin pgpt4k.bin >sources.sha256

sha256sum small-refuse.bin 4k.bin >untouched.sha256
# The large drives' old backup header, to tell it is gone.
tail -c 512 large-mbr.bin | head -c 8 >old-backup.sig
[ "$(cat old-backup.sig)" = "EFI PART" ] || bad "the old GPT's backup header was not made"

windir="Z:${dir//\//\\}"
KORVANE_TOOL_DIR=$windir "$scripts/wine-run.sh" "$exe" --gtest_filter='OtherSizeTools.*' || bad "the restores"

# The file system in the last partition: clean, and its files as they were.
check_fat() { # drive, first sector, sectors
  dd if="$1" of=check.fat bs=512 skip="$2" count="$3" status=none
  echo "--- fsck.fat -n ($1)"
  fsck.fat -n check.fat || bad "fsck.fat -n $1"
  mtype -i check.fat ::HELLO.TXT | cmp -s - hello.txt || bad "HELLO.TXT on $1"
  mcopy -n -i check.fat ::DATA.BIN back.bin && cmp -s back.bin data.bin || bad "DATA.BIN on $1"
  rm -f back.bin
}
for d in small-mbr.bin large-mbr.bin; do
  echo "--- sfdisk -V $d"
  sfdisk -V "$d" || bad "sfdisk -V $d"
  check_fat "$d" 6144 8192
done
for d in small-gpt.bin large-gpt.bin; do
  echo "--- sgdisk -v $d"
  out=$(sgdisk -v "$d" 2>&1)
  echo "$out"
  echo "$out" | grep -q "No problems found" || bad "sgdisk -v $d"
  # Without a GPT sgdisk makes one in memory and finds no problems in that; a damaged
  # backup it regenerates, says so in cautions, and still ends with "No problems found".
  ! echo "$out" | grep -q "Creating new GPT" || bad "no GPT on $d"
  ! echo "$out" | grep -qiE "corrupt|invalid|ERROR|don't match|problems!" || bad "sgdisk -v $d warns"
  check_fat "$d" 4096 $((14302 - 4096 + 1))
done
# An MBR image onto a larger drive: the drive's old backup GPT header is gone.
[ "$(tail -c 512 large-mbr.bin | head -c 8)" != "EFI PART" ] || bad "the old backup GPT header stayed"
# With the old backup left, sgdisk would load it ("valid backup") and offer to repair from it.
echo "--- sgdisk -v large-mbr.bin (no GPT may be found)"
out=$(sgdisk -v large-mbr.bin 2>&1 | tr -d '\0')
echo "$out"
echo "$out" | grep -q "invalid GPT and valid MBR" || bad "a GPT is still found on large-mbr.bin"
# The images of the partitions only, and the smaller drives they were restored onto.
sgdisk_clean() { # target, name
  local out
  out=$(sgdisk -v "$1" 2>&1)
  echo "--- sgdisk -v $2"
  echo "$out"
  echo "$out" | grep -q "No problems found" || bad "sgdisk -v $2"
  ! echo "$out" | grep -q "Creating new GPT" || bad "no GPT on $2"
  ! echo "$out" | grep -qiE "corrupt|invalid|ERROR|don't match|problems!" || bad "sgdisk -v $2 warns"
}
length() { [ "$(stat -c %s "$1")" = "$2" ] || bad "$1 is $(stat -c %s "$1") bytes, not $2"; }
length pmbr.img $((16384 * 512))
length pgpt.img $(((16384 + 33) * 512))
[ ! -e ptamper.img ] || bad "the image the verify found changed was kept"
sha256sum -c pmbr.img.sha256 pgpt.img.sha256 || bad "the checksum files of the images"
for d in pmbr.img small-pmbr.bin; do
  echo "--- sfdisk -V $d"
  sfdisk -V "$d" || bad "sfdisk -V $d"
  check_fat "$d" 2048 4096
  check_fat "$d" 8192 8192
done
for d in pgpt.img small-pgpt.bin; do
  sgdisk_clean "$d" "$d"
  check_fat "$d" 2048 2048
  check_fat "$d" 4096 12288
done
if [ $have4k = 1 ]; then
  length pgpt4k.img $(((2048 + 5) * 4096))
  sha256sum -c pgpt4k.img.sha256 || bad "the checksum file of pgpt4k.img"
  for d in pgpt4k.img small-pgpt4k.bin; do
    if l=$(loop4k "$d" -r); then sgdisk_clean "$l" "$d"; losetup -d "$l"; else bad "no loop device for $d"; fi
    check_fat "$d" 2048 2048
    check_fat "$d" 4096 12288
  done
fi
sha256sum -c --quiet sources.sha256 || bad "a create changed its drive"
# Refusals left their drives' bytes as they were.
sha256sum -c --quiet untouched.sha256 || bad "a refused restore changed its drive"
[ $fail = 0 ] && echo "all tool checks passed"
exit $fail
