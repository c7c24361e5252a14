#!/bin/sh
# Gives the Wine prefix two small volumes whose free space is known to the byte: tmpfs mounts offered
# as their own drive letters, "exact" with exactly archive + unpacked size of the "free-space" release
# + 128 MiB (the install must refuse), "roomy" with one page more (it must pass). A drive of its own,
# because a folder that is a mount point shows as a reparse point (under Wine as on Windows) and the
# install refuses paths through one. Only root can mount; otherwise, or when mounting fails, the
# status file names the reason and the test skips.
#
# usage: free-space-tmpfs.sh mount STATUS_FILE BYTES_FILE
#        free-space-tmpfs.sh umount STATUS_FILE
# Both need WINEPREFIX. BYTES_FILE holds archive + unpacked size (a multiple of 4096).
# STATUS_FILE gets {"mounted":true,"exactBytes":N,"exactDrive":"S:","roomyDrive":"T:"} or
# {"mounted":false,"reason":"..."}.
set -eu

usage() { sed -n '2,13s/^# \{0,1\}//p' "$0"; }
case "${1:-}" in -h|--help) usage; exit 0 ;; esac

reserve=134217728
page=4096

skip() {
    printf '{"mounted":false,"reason":"%s"}\n' "$1" >"$status"
    echo "free-space test will skip: $1"
    exit 0
}

space=${WINEPREFIX:-/nonexistent}/tessaro-e2e-space

# Drive letters this script made point into $space.
our_drives() {
    for link in "$WINEPREFIX"/dosdevices/?:; do
        [ -L "$link" ] && case "$(readlink "$link")" in "$space"/*) echo "$link" ;; esac
    done
    return 0
}

unmount_all() {
    for link in $(our_drives); do rm -f "$link"; done
    for name in exact roomy; do
        if mountpoint -q "$space/$name" 2>/dev/null; then
            umount "$space/$name" 2>/dev/null || umount -l "$space/$name"
        fi
    done
}

free_letter() {
    for letter in s t u v w x y; do
        [ -e "$WINEPREFIX/dosdevices/$letter:" ] || [ -L "$WINEPREFIX/dosdevices/$letter:" ] || { echo "$letter"; return; }
    done
}

mount_all() {
    mkdir -p "$(dirname "$status")"
    [ "$(id -u)" -eq 0 ] || skip "only root can mount the tmpfs that fixes the free space"
    [ -d "$WINEPREFIX/dosdevices" ] || skip "no initialised Wine prefix"
    [ -f "$bytes_file" ] || skip "no free-space release was published ($bytes_file missing)"
    needed=$(cat "$bytes_file")
    [ $((needed % page)) -eq 0 ] || skip "archive + unpacked size $needed is not a whole number of pages"
    exact=$((needed + reserve))
    unmount_all
    mkdir -p "$space/exact" "$space/roomy"
    mount -t tmpfs -o "size=$exact,mode=0755" tmpfs "$space/exact" 2>/dev/null ||
        skip "mounting a tmpfs failed (no mount permission here)"
    if ! mount -t tmpfs -o "size=$((exact + page)),mode=0755" tmpfs "$space/roomy" 2>/dev/null; then
        unmount_all
        skip "mounting a tmpfs failed (no mount permission here)"
    fi
    exact_letter=$(free_letter)
    [ -n "$exact_letter" ] && ln -s "$space/exact" "$WINEPREFIX/dosdevices/$exact_letter:"
    roomy_letter=$(free_letter)
    if [ -z "$exact_letter" ] || [ -z "$roomy_letter" ]; then
        unmount_all
        skip "no free drive letter in the Wine prefix"
    fi
    ln -s "$space/roomy" "$WINEPREFIX/dosdevices/$roomy_letter:"
    printf '{"exactBytes":%s,"exactDrive":"%s:","mounted":true,"roomyDrive":"%s:"}\n' "$exact" \
        "$(echo "$exact_letter" | tr a-z A-Z)" "$(echo "$roomy_letter" | tr a-z A-Z)" >"$status"
    echo "tmpfs of $exact bytes as $exact_letter:, one page more as $roomy_letter:"
}

case "${1:-}" in
    mount) [ $# -eq 3 ] || { usage >&2; exit 2; }; status=$2 bytes_file=$3; mount_all ;;
    umount) [ $# -eq 2 ] || { usage >&2; exit 2; }; status=$2
        [ -n "${WINEPREFIX:-}" ] && unmount_all
        rm -f "$status" ;;
    *) usage >&2; exit 2 ;;
esac
