#!/bin/sh
# The README's form for many machines, run on this one: GNU parallel starts
# one `vistarium-cli stitch` per set folder (here two jobs at a time, no
# --sshlogin), and every set's panorama comes out with a sound trailer.
#   parallel_sets_test.sh VISTARIUM-CLI SAMPLES-FOLDER
set -eu
cli=$1
samples=$2
if ! parallel --version 2>/dev/null | grep -q "GNU parallel"; then
  echo "GNU parallel is not installed; skipped"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/sets/open4" "$work/sets/portrait5" "$work/out"
cp "$samples"/open4/*.jpg "$work/sets/open4/"
cp "$samples"/portrait5/*.jpg "$work/sets/portrait5/"
cd "$work"
parallel --will-cite -j 2 "$cli stitch --report out/{/}.json -o out/{/}.jpg {}/*.jpg" ::: sets/*
for set in open4 portrait5; do
  "$cli" info "out/$set.jpg" | grep -q '"trailer": "sound"' || { echo "out/$set.jpg has no sound trailer"; exit 1; }
  grep -q '"connections"' "out/$set.json" || { echo "out/$set.json holds no report"; exit 1; }
done
echo "both sets stitched"
