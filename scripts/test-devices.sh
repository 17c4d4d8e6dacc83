#!/usr/bin/env bash
# Test fixture for real devices under Wine, in the prefix named by WINEPREFIX.
#   setup STATE:    K: a 4 MiB loop device as a raw drive (\\.\K:)
#                   J: a 1 MiB read-only loop device as a raw drive (\\.\J:)
#                   L: a 2 MiB tmpfs, to fill up
#                   M: a folder, and N: the same folder mounted read-only
#   teardown STATE: detaches and unmounts what setup made.
# Without root or without free loop devices setup makes nothing and says why;
# the device tests then report themselves as skipped.
set -u
action=$1
state=$2
: "${WINEPREFIX:?WINEPREFIX must name the prefix of the test run}"
devices=$WINEPREFIX/dosdevices
links="k:: j:: l: m: n:"

unlink_all() {
  for link in $links; do rm -f "$devices/$link"; done
}

case "$action" in
  setup)
    mkdir -p "$state"
    unlink_all
    if [ "$(id -u)" != 0 ]; then
      echo "not root: no loop device, device tests will be skipped"
      exit 0
    fi
    truncate -s 4M "$state/loop.img"
    head -c 1M /dev/urandom >"$state/ro.img"
    if ! loop=$(losetup -f --show "$state/loop.img" 2>&1); then
      echo "losetup failed ($loop): device tests will be skipped"
      exit 0
    fi
    echo "$loop" >>"$state/loops"
    ln -s "$loop" "$devices/k::"
    if rloop=$(losetup -r -f --show "$state/ro.img" 2>&1); then
      echo "$rloop" >>"$state/loops"
      ln -s "$rloop" "$devices/j::"
    fi
    mkdir -p "$state/small" "$state/rw" "$state/ro"
    if mount -t tmpfs -o size=2m tmpfs "$state/small"; then
      echo "$state/small" >>"$state/mounts"
      ln -s "$state/small" "$devices/l:"
    fi
    ln -s "$state/rw" "$devices/m:"
    if mount --bind "$state/rw" "$state/ro" && mount -o remount,bind,ro "$state/ro"; then
      echo "$state/ro" >>"$state/mounts"
      ln -s "$state/ro" "$devices/n:"
    fi
    echo "loop devices: $(tr '\n' ' ' <"$state/loops"); mounts: $(tr '\n' ' ' <"$state/mounts" 2>/dev/null)"
    ;;
  teardown)
    unlink_all
    if [ -f "$state/loops" ]; then
      while read -r loop; do losetup -d "$loop" || echo "could not detach $loop"; done <"$state/loops"
      rm -f "$state/loops"
    fi
    if [ -f "$state/mounts" ]; then
      while read -r dir; do umount "$dir" 2>/dev/null || umount -l "$dir"; done <"$state/mounts"
      rm -f "$state/mounts"
    fi
    rm -rf "$state/loop.img" "$state/ro.img" "$state/rw"
    ;;
  *)
    echo "usage: $0 setup|teardown STATE-DIR" >&2
    exit 2
    ;;
esac
