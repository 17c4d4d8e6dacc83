#!/usr/bin/env bash
# Runs a command where 32-bit x86 programs run under user-mode emulation
# (Debian's qemu-user-static), for testing the i686 build on a kernel that can't
# run 32-bit programs, or, to try that path, on one that can: the entry takes
# precedence over the kernel's own loader.
#
#   scripts/emulate-i686.sh run COMMAND [ARG ...]
#
# The command runs in a user and mount namespace of its own with a binfmt_misc
# instance of its own (Linux 6.7 and later), which holds the one entry: the rest
# of the machine, other builds and tests running beside it included, never sees
# the emulation, and nothing is left to remove when the command ends.
set -eu
emulator=/usr/bin/qemu-i386-static
misc=/proc/sys/fs/binfmt_misc
case "${1:-}" in
  run)
    shift
    [ -x "$emulator" ] || { echo "$emulator is missing (apt-get install qemu-user-static)" >&2; exit 1; }
    exec unshare --user --map-root-user --mount "$0" --inside "$@"
    ;;
  --inside)
    shift
    if ! mount -t binfmt_misc binfmt_misc "$misc" 2>/dev/null; then
      echo "This kernel gives no binfmt_misc of a namespace's own (Linux 6.7 and later do):" \
           "32-bit programs can't be emulated here." >&2
      exit 1
    fi
    # ELF, 32-bit, little-endian, an executable or shared object for i386 (or
    # i486). F: the kernel opens the emulator now, so it is found from any root.
    printf '%s' ':korvane-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$emulator"':F' \
      > "$misc/register"
    exec "$@"
    ;;
  *)
    echo "usage: $0 run COMMAND [ARG ...]" >&2
    exit 2
    ;;
esac
