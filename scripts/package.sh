#!/usr/bin/env bash
# Builds the Debian source package, the binary package and its -dbgsym into
# OUTDIR (default: build-deb), from this tree as it stands: the orig tarball
# is made of the tree's files (those git tracks, in their present state; in
# a tree without git, every file but build directories), then unpacked with
# debian/ beside it and built by dpkg-buildpackage -us -uc.  Two runs on one
# tree give the same files byte for byte.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$(mkdir -p "${1:-$root/build-deb}" && cd "${1:-$root/build-deb}" && pwd)
name=$(dpkg-parsechangelog -l "$root/debian/changelog" -SSource)
version=$(dpkg-parsechangelog -l "$root/debian/changelog" -SVersion)
upstream=${version%-*}
# Every date in the tarball and the package is the changelog's.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$root/debian/changelog" -STimestamp)
export SOURCE_DATE_EPOCH

work=$(mktemp -d "$out/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT
files() {
    if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git -C "$root" ls-files -z | while IFS= read -r -d '' f; do
            [ -e "$root/$f" ] && printf '%s\0' "$f"   # removed, not yet committed
        done
    else
        (cd "$root" && find . \( -path './build*' -o -path ./.git \) -prune -o -type f -printf '%P\0')
    fi
}
# The upstream tarball holds no debian/: the packaging lies beside it.
files | grep -zv '^debian/' |
    tar -C "$root" --null -T - --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 \
        --numeric-owner --transform "s,^,$name-$upstream/," -cf - |
    gzip -9n > "$work/${name}_$upstream.orig.tar.gz"
tar -C "$work" -xzf "$work/${name}_$upstream.orig.tar.gz"
files | grep -z '^debian/' | tar -C "$root" --null -T - -cf - | tar -C "$work/$name-$upstream" -xf -
(cd "$work/$name-$upstream" && dpkg-buildpackage -us -uc -j"$(nproc)" >"$work/build.log" 2>&1) || {
    tail -n 40 "$work/build.log" >&2
    echo "package.sh: dpkg-buildpackage failed (its log ends above)" >&2
    exit 1
}
rm -f "$out"/*.deb "$out"/*.dsc "$out"/*.changes "$out"/*.buildinfo "$out"/*.tar.*
rm "$work/build.log"
find "$work" -maxdepth 1 -type f -exec mv -t "$out" {} +
ls "$out"
