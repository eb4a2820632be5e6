#!/bin/sh
# Runs a program with a /tmp of its own in which the update lock is already taken; run it in a
# mount namespace of its own (unshare --mount --propagation private), as root, from the test's
# folder, so that the machine's own lock file stays out of reach:
#
#   privatetmp.sh held|fifo PROGRAM ARGUMENTS...
#
# "held": this script holds an exclusive lock on the lock file for as long as the program runs,
# as a product waiting for the update might. "fifo": a FIFO stands at the lock file's path.
set -eu
# The new /tmp is made beside the test's files, and keeps them where they were when they lie
# under the old one, as a build folder may.
work=$PWD
private=$(mktemp -d "$work/tmp-XXXXXX")
mount -t tmpfs -o mode=1777 larkspur-test "$private"
case $work in
/tmp/*)
    mkdir -p "$private/${work#/tmp/}"
    mount --bind "$work" "$private/${work#/tmp/}"
    ;;
esac
mount --move "$private" /tmp
lock=/tmp/fernhollow_larkspur_updater_mutex
mode=$1
shift
case $mode in
held)
    exec 9>"$lock"
    flock --exclusive 9
    # The program meets the lock; it does not inherit it.
    "$@" 9>&-
    ;;
fifo)
    mkfifo "$lock"
    exec "$@"
    ;;
esac
