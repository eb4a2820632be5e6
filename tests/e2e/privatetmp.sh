#!/bin/sh
# Runs a program with a /tmp of its own in which the update lock is already taken; run it in a
# mount namespace of its own (unshare --mount --propagation private), as root, from the test's
# folder, so that the machine's own lock file stays out of reach:
#
#   privatetmp.sh held|fifo PROGRAM ARGUMENTS...
#
# "held": this script holds an exclusive lock on the lock file for as long as the program runs,
# as a product waiting for the update might. "fifo": a FIFO stands at the lock file's path.
# "small": the program's folder is a file system of its own with a mebibyte free beside the
# program; what it holds once the program has ended is listed in the test's folder, in
# leftovers.txt.
set -eu
# The program's /tmp shows the machine's, but whatever is made or changed there stays in a layer
# of its own (so the machine's lock file is never touched), save the test's folder, which may
# lie under /tmp as a build folder may, and stays the test's own. /mnt holds the layer.
work=$PWD
mount -t tmpfs larkspur-test /mnt
mkdir /mnt/changes /mnt/scratch /mnt/work
mount --bind "$work" /mnt/work
mount -t overlay larkspur-test -o lowerdir=/tmp,upperdir=/mnt/changes,workdir=/mnt/scratch /tmp
case $work in
/tmp/*) mount --move /mnt/work "$work" ;;
esac
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
    rm -f "$lock"
    mkfifo "$lock"
    exec "$@"
    ;;
small)
    folder=$(dirname "$1")
    cp "$1" /mnt/program
    mount -t tmpfs -o size=$(($(stat -c %s "$1") + 1048576)) larkspur-small "$folder"
    cp /mnt/program "$1"
    status=0
    "$@" || status=$?
    ls -A "$folder" >"$work/leftovers.txt"
    exit $status
    ;;
esac
