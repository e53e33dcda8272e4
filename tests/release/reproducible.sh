#!/bin/sh
# Builds the download twice, from two clean clones of the commit in
# folders of different names, some seconds apart, and compares the zips
# and their sum files byte for byte.
# Usage: reproducible.sh SOURCE_CHECKOUT
set -eu
source=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build() {
    git clone --quiet "$source" "$work/$1"
    (cd "$work/$1" && cmake --workflow --preset release >"$work/$1.log" 2>&1) || {
        cat "$work/$1.log"
        exit 1
    }
}

build first-clone
sleep 2
build second
status=0
for zip in "$work"/first-clone/build/windows/*.zip "$work"/first-clone/build/windows/*.zip.sha256; do
    name=${zip##*/}
    if cmp "$zip" "$work/second/build/windows/$name"; then
        echo "ok   $name is the same in both builds"
    else
        echo "FAIL $name differs between the builds"
        status=1
    fi
done
(cd "$work/second/build/windows" && sha256sum --check ./*.zip.sha256) || status=1
exit $status
