#!/usr/bin/env bash
# Checks a tecontrol .deb: its files, its dependencies (from dpkg-shlibdeps),
# no maintainer scripts, a menu entry and metainfo that validate, manual
# pages that format, programs that start.
# Usage: scripts/package-check.sh tecontrol_X.Y.Z-N_ARCH.deb
set -euo pipefail
deb="${1:?usage: package-check.sh FILE.deb}"
fail=0
bad() { echo "package-check: $*" >&2; fail=1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/root"
dpkg-deb -e "$deb" "$work/control"

# Control data: only the control file and checksums, no maintainer scripts.
for f in "$work"/control/*; do
  case "$(basename "$f")" in
    control|md5sums) ;;
    *) bad "maintainer script or unexpected control file: $(basename "$f")" ;;
  esac
done
field() { sed -n "s/^$1: //p" "$work/control/control"; }
[ "$(field Package)" = tecontrol ] || bad "package name is '$(field Package)'"
depends="$(field Depends)"
names=" $(sed 's/ *([^)]*)//g; s/,/ /g' <<<"$depends") "
for lib in libqt6widgets6 libqt6serialport6 libqt6uitools6 libqt6gui6 libqt6core6 libqcustomplot2.1-qt6 \
           libc6 libstdc++6 qt6-qpa-plugins; do
  [[ "$names" == *" $lib "* ]] || bad "Depends lacks $lib: $depends"
done
grep -q '(>= ' <<<"$depends" || bad "Depends has no versions: not made by dpkg-shlibdeps? $depends"

# Files.
root="$work/root"
id=io.github.tecontrol.tecontrol
for f in usr/bin/tecontrol usr/bin/tecsim \
         usr/share/applications/$id.desktop usr/share/metainfo/$id.metainfo.xml \
         usr/share/icons/hicolor/scalable/apps/tecontrol.svg \
         usr/share/man/man1/tecontrol.1.gz usr/share/man/man1/tecsim.1.gz \
         usr/share/doc/tecontrol/README.md usr/share/doc/tecontrol/CHANGELOG.md usr/share/doc/tecontrol/ports.md; do
  [ -f "$root/$f" ] || bad "missing /$f"
done
panels=$(find "$root/usr/share/tecontrol/ui" -name 'VEXA *.uir' | wc -l)
[ "$panels" -eq 10 ] || bad "$panels panel files in /usr/share/tecontrol/ui, not 10"
if [ -x "$root/usr/bin/tecctl" ]; then
  [ -f "$root/usr/share/man/man1/tecctl.1.gz" ] || bad "tecctl without its manual page"
fi
stray=$(cd "$root" && find . -type f ! -path './usr/bin/*' ! -path './usr/share/*')
[ -z "$stray" ] || bad "files outside /usr/bin and /usr/share: $stray"
for exe in "$root"/usr/bin/*; do
  file -b "$exe" | grep -q 'stripped' && ! file -b "$exe" | grep -q 'not stripped' || bad "$(basename "$exe") is not stripped"
  readelf -d "$exe" | grep -Eq 'RPATH|RUNPATH' && bad "$(basename "$exe") carries a build RPATH"
done
badperm=$(cd "$root" && find . \( -type d ! -perm 755 \) -o \( -type f -path './usr/bin/*' ! -perm 755 \) -o \( -type f ! -path './usr/bin/*' ! -perm 644 \))
[ -z "$badperm" ] || bad "unusual permissions: $badperm"

# Validators.
desktop-file-validate "$root/usr/share/applications/$id.desktop" || bad "desktop-file-validate failed"
appstreamcli validate --no-net "$root/usr/share/metainfo/$id.metainfo.xml" >/dev/null || bad "appstreamcli validate failed"
for page in "$root"/usr/share/man/man1/*.1.gz; do
  out="$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>&1 >/dev/null)" || bad "man cannot format $(basename "$page")"
  [ -z "$out" ] || bad "man warns on $(basename "$page"): $out"
  zcat "$page" | grep -q '^\.SH "SERIAL PORTS"\|^\.SH "SEE ALSO"' || bad "$(basename "$page") lacks its written sections"
  # Every program's page has its synopsis and its options from --help.
  for section in SYNOPSIS OPTIONS; do
    zcat "$page" | grep -q "^\.SH $section" || bad "$(basename "$page") has no $section"
  done
done
if [ -f "$root/usr/share/man/man1/tecctl.1.gz" ]; then
  for section in PARAMETERS '"EXIT STATUS"'; do
    zcat "$root/usr/share/man/man1/tecctl.1.gz" | grep -q "^\.SH $section" || bad "tecctl.1 has no $section"
  done
fi

# One version everywhere: the package, --version, the metainfo's release, the changelog.
version="$(field Version)"; version="${version%%-*}"
grep -q "<release version=\"$version\"" "$root/usr/share/metainfo/$id.metainfo.xml" \
  || bad "the metainfo has no release $version"
grep -q "^## $version\$" "$root/usr/share/doc/tecontrol/CHANGELOG.md" || bad "CHANGELOG.md has no section $version"

# The programs start from the package's tree and find nothing of the build.
"$root/usr/bin/tecontrol" --version | grep -q "^tecontrol $version\$" \
  || bad "tecontrol --version does not match the package version"
"$root/usr/bin/tecsim" --help >/dev/null || bad "tecsim --help failed"
if [ -x "$root/usr/bin/tecctl" ]; then
  (cd "$work" && "$root/usr/bin/tecctl" --simulate read >/dev/null) || bad "tecctl --simulate read failed"
fi

[ "$fail" -eq 0 ] && echo "package-check: $(basename "$deb") ok"
exit "$fail"
