#!/usr/bin/env bash
# Looks into the Debian package that cpack made: its control fields (name,
# version, the library's major version, the dependencies dpkg-shlibdeps
# found, shlibs and the ldconfig call) and its files, then unpacks it as
# dpkg would, for the tests that run what it installs. Called by ctest as
#   deb_package_test.sh <package folder> <version> <major> <libdir> <unpack folder>
set -u
folder=$1 version=$2 major=$3 libdir=$4 root=$5
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

shopt -s nullglob
packages=("$folder"/tqrtl_"$version"-*_*.deb)
[ ${#packages[@]} -eq 1 ] || { echo "FAIL: expected one tqrtl_$version package in $folder: ${packages[*]}"; exit 1; }
deb=${packages[0]}
echo "package: $deb"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tqrtl ] || fail "Package: $(field Package)"
[[ "$(field Version)" == "$version"-* ]] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
grep -q '<.*@.*>' <<<"$(field Maintainer)" || fail "Maintainer without an address: $(field Maintainer)"
[ -n "$(field Section)" ] || fail "no Section"
# The major version, the library's soname, is in what the package provides.
grep -Eq "(^|, )libtqrtl$major( |,|$)" <<<"$(field Provides)" || fail "Provides: $(field Provides)"
# A summary and a long description of its own.
description=$(field Description)
[ "$(wc -l <<<"$description")" -ge 3 ] || fail "Description too short: $description"
depends=$(field Depends)
# The names alone, one a line, without versions.
depends_names=$(tr ',|' '\n\n' <<<"$depends" | sed 's/([^)]*)//; s/^ *//; s/ *$//')
for dependency in libsqlite3-0 libc6 libstdc++6; do
  grep -qxF "$dependency" <<<"$depends_names" || fail "Depends lacks $dependency: $depends"
done
# Nothing the package itself holds is a dependency.
grep -q tqrtl <<<"$depends" && fail "Depends names the package's own library: $depends"

control=$(mktemp -d)
trap 'rm -rf "$control"' EXIT
dpkg-deb -e "$deb" "$control"
grep -qx "libtqrtl $major tqrtl (>= $version-[0-9]*)" "$control/shlibs" ||
  fail "shlibs: $(cat "$control/shlibs" 2>/dev/null)"
grep -q ldconfig "$control/postinst" 2>/dev/null || fail "postinst does not run ldconfig"

# The files: everything under /usr, owned by root, and each part there.
listing=$(dpkg-deb -c "$deb")
names=$(awk '{ print $6 }' <<<"$listing")
grep -v '^\./usr/' <<<"$names" | grep -q . && fail "files outside /usr: $(grep -v '^\./usr/' <<<"$names")"
awk '$2 != "root/root"' <<<"$listing" | grep -q . && fail "files not owned by root: $(awk '$2 != "root/root"' <<<"$listing")"
expected=(
  usr/bin/tqreg usr/bin/tqstore usr/bin/tqipc
  "usr/$libdir/libtqrtl.so.$version" "usr/$libdir/libtqrtl.so.$major" "usr/$libdir/libtqrtl.so"
  usr/include/tqrtl/tqrtl.h usr/include/tqrtl/version.h usr/include/tqrtl/strings/TQString.h
  "usr/$libdir/cmake/TQRTL/TQRTLConfig.cmake" "usr/$libdir/cmake/TQRTL/TQRTLConfigVersion.cmake"
  "usr/$libdir/cmake/TQRTL/TQRTLTargets.cmake" "usr/$libdir/pkgconfig/tqrtl.pc"
  usr/share/man/man1/tqreg.1.gz usr/share/man/man1/tqstore.1.gz usr/share/man/man1/tqipc.1.gz
)
for name in "${expected[@]}"; do
  grep -qx "\./$name" <<<"$names" || fail "the package lacks /$name"
done
grep -q "libtqrtl.so.$major -> libtqrtl.so.$version" <<<"$listing" || fail "libtqrtl.so.$major is no link to the library"
# The library's private headers and the tests' programs stay out.
grep -Eq '/(internal|posix|windows)/|_test|tqrtl_process_helper' <<<"$names" &&
  fail "private files: $(grep -E '/(internal|posix|windows)/|_test|tqrtl_process_helper' <<<"$names")"

rm -rf "$root" && mkdir -p "$root" && dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x failed"
# The library answers to the name the tools and the shlibs file ask for.
soname=$(readelf -d "$root/usr/$libdir/libtqrtl.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libtqrtl.so.$major" ] || fail "SONAME '$soname'"
for tool in tqreg tqstore tqipc; do
  readelf -d "$root/usr/bin/$tool" | grep -q "(NEEDED).*\[libtqrtl.so.$major\]" ||
    fail "$tool does not ask for libtqrtl.so.$major"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "Debian package: all checks passed"
