#!/usr/bin/env bash
# The Debian package, as a user gets it: built from the existing build
# directory (CPack's DEB generator), its fields and file list, its programs
# run from a scratch unpacking (no root needed), its desktop entry, and
# lintian.
#   check_package.sh CMAKE BUILD_DIR PACKAGE_FILE VERSION WITH_VIEWER SAMPLE_STREAM
set -uo pipefail
cmake=$1 build=$2 package_file=$3 version=$4 with_viewer=$5 sample=$6
for tool in dpkg-deb lintian desktop-file-validate; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (scripts/setup.sh installs it)"; exit 77; }
done
failed=0
fail() { echo "FAIL: $*"; failed=1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Reuses the build: only what changed is built again.
deb=$build/$package_file
rm -f "$deb"
"$cmake" --build "$build" --target package >"$scratch/package.log" 2>&1 || { cat "$scratch/package.log"; exit 1; }
[ -f "$deb" ] || { fail "$deb was not made"; exit 1; }

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = mpeg-stream-tools ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), not $version"
depends=$(field Depends)
needed=(libc6 libstdc++6)
[ "$with_viewer" = ON ] && needed+=(libgtk-3-0)
for lib in "${needed[@]}"; do
  tr ',' '\n' <<<"$depends" | awk '{print $1}' | grep -qxF -- "$lib" || fail "Depends lacks $lib: $depends"
done
if [ "$with_viewer" = ON ]; then
  [ "$(field Recommends)" = guile-3.0-libs ] || fail "Recommends: $(field Recommends)"
  grep -q guile <<<"$depends" && fail "Guile is in Depends: $depends"
fi

# File list: what must be there, owned by root, and nothing outside /usr.
list=$(dpkg-deb -c "$deb")
paths=$(awk '{print $NF}' <<<"$list")
expected=(./usr/bin/psdump ./usr/bin/psverify ./usr/bin/streamsend
          ./usr/share/man/man1/psdump.1.gz ./usr/share/man/man1/psverify.1.gz
          ./usr/share/man/man1/streamsend.1.gz
          ./usr/share/doc/mpeg-stream-tools/copyright ./usr/share/doc/mpeg-stream-tools/changelog.gz)
[ "$with_viewer" = ON ] && expected+=(./usr/bin/tarvel_viewer ./usr/share/man/man1/tarvel_viewer.1.gz
  ./usr/share/applications/tarvel_viewer.desktop ./usr/share/icons/hicolor/scalable/apps/tarvel_viewer.svg
  ./usr/share/tarvel_viewer/guile_glue/plugins.scm ./usr/share/tarvel_viewer/icons/run_button.xpm
  ./usr/share/tarvel_viewer/plugins/mpeg_video_interface)
for path in "${expected[@]}"; do
  grep -qxF -- "$path" <<<"$paths" || fail "the package lacks $path"
done
stray=$(grep -vE '^\./usr/(bin|share/(tarvel_viewer|man/man1|applications|icons/hicolor|doc/mpeg-stream-tools))/' <<<"$paths" \
        | grep -vxE '\./usr/(share/(icons|doc|man)?/?)?')
[ -z "$stray" ] || fail "unexpected paths: $stray"
grep -v ' root/root ' <<<"$list" && fail "files not owned by root/root"
grep -q 'tarvel_viewer/desktop' <<<"$paths" && fail "the desktop entry's source folder is in the data directory"

# The unpacked programs work: the same dump as the built program, and a
# verdict from psverify.
dpkg-deb -x "$deb" "$scratch/root"
usr=$scratch/root/usr
"$usr/bin/psdump" "$sample" json >"$scratch/dump.json" 2>/dev/null || fail "unpacked psdump failed"
"$build/dump/psdump" "$sample" json 2>/dev/null | cmp -s - "$scratch/dump.json" || fail "unpacked psdump dumps otherwise"
report=$("$usr/bin/psverify" "$sample") || fail "unpacked psverify: status $?"
grep -q "packs, conformant" <<<"$report" || fail "unpacked psverify: $report"
[ "$("$usr/bin/psverify" --version)" = "psverify $version" ] || fail "psverify --version: $("$usr/bin/psverify" --version)"
zcat "$usr/share/doc/mpeg-stream-tools/changelog.gz" | head -n 1 | grep -qF "mpeg-stream-tools ($version) " \
  || fail "the changelog's first entry is not for $version"

if [ "$with_viewer" = ON ]; then
  desktop=$usr/share/applications/tarvel_viewer.desktop
  desktop-file-validate "$desktop" || fail "desktop-file-validate: $desktop"
  grep -qx 'Exec=tarvel_viewer %f' "$desktop" || fail "Exec is not 'tarvel_viewer %f'"
  grep -qx 'MimeType=video/mpeg;video/mp2t;video/x-ms-vob;' "$desktop" || fail "MimeType: $(grep MimeType "$desktop")"
  icon=$(sed -n 's/^Icon=//p' "$desktop")
  [ -f "$usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "no icon $icon in the package"
fi

# lintian, once: every tag is shown, an error fails the test.
tags=$(lintian --display-info --fail-on error "$deb" 2>&1)
status=$?
grep -v 'running with root privileges' <<<"$tags"
[ "$status" = 0 ] || fail "lintian finds errors (status $status)"

checked="fields, $(wc -l <<<"$paths") paths, the unpacked programs"
[ "$with_viewer" = ON ] && checked+=", the desktop entry"
[ "$failed" = 0 ] && echo "package $package_file: $checked and lintian checked"
exit "$failed"
