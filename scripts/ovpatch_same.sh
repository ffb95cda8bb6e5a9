#!/bin/sh
# Builds with each ovpatch given the patch that maker_build_e2e built through the maker window, from what
# that test left (the same image, archive, language file and settings), and compares the two byte for
# byte; then inspects the maker's patch.
# Usage: ovpatch_same.sh KEPT_FOLDER OVPATCH...
set -eu
kept=$1
shift
made=$(ls "$kept/maker")
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for ovpatch in "$@"; do
    rm -f "$out/$made"
    "$ovpatch" build --image "$kept/OVPatchMaker.exe" --archive "$kept/data.7z" --settings "$kept/settings.conf" -o "$out"
    cmp "$kept/maker/$made" "$out/$made"
    # And the maker's patch reads back as a valid patch.
    "$ovpatch" inspect "$kept/maker/$made" | grep -q '^  PatchVersion: 20141114055922$'
    echo "$ovpatch wrote $made byte for byte as the maker window did"
done
