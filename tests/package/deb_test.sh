#!/usr/bin/env bash
# `cpack -G DEB` makes a package that holds the program, its manual page and
# its completions under /usr, and depends on the package of every shared
# library the program links. As root with CI=true, scripts/check-deb then
# installs it with dpkg -i, checks it and removes it again.
#
#   deb_test.sh BUILD_DIR SOURCE_DIR VERSION
set -euo pipefail
build=$1
source=$2
version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB -B "$work" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb="$work/zeduzaredoz_${version}_$(dpkg --print-architecture).deb"
[[ -f $deb ]] || fail "no package at $deb"

[[ $(dpkg-deb --field "$deb" Package) == zeduzaredoz ]] || fail "wrong package name"
[[ $(dpkg-deb --field "$deb" Version) == "$version" ]] || fail "wrong version"
depends=$(dpkg-deb --field "$deb" Depends)
depended=$(tr ',' '\n' <<<"$depends" | awk '{ print $1 }')  # the names, without versions
dpkg-deb --info "$deb" >/dev/null

# The package owning a library path; on a merged-/usr system dpkg may know the
# file by its /lib or its /usr/lib name.
owner() {
  local path=$1 candidate
  for candidate in "$path" "$(readlink -f "$path")" "/usr$path" "${path#/usr}"; do
    if dpkg -S "$candidate" 2>/dev/null | head -n 1 | cut -d: -f1; then return 0; fi
  done
  return 1
}
while read -r soname; do
  path=$(ldd "$build/zeduzaredoz" | awk -v l="$soname" '$1 == l { print $3 }')
  package=$(owner "$path") || fail "no package owns $soname ($path)"
  grep -qxF -- "$package" <<<"$depended" || fail "Depends lacks $package for $soname: $depends"
done < <(objdump -p "$build/zeduzaredoz" | awk '$1 == "NEEDED" { print $2 }')

contents=$(dpkg-deb --contents "$deb" | awk '{ print $NF }')
for file in ./usr/bin/zeduzaredoz ./usr/share/man/man1/zeduzaredoz.1.gz \
  ./usr/share/bash-completion/completions/zeduzaredoz \
  ./usr/share/zsh/vendor-completions/_zeduzaredoz; do
  grep -qx -- "$file" <<<"$contents" || fail "the package lacks $file"
done
[[ $(grep -c -v '/$' <<<"$contents") == 4 ]] || fail "unexpected files in the package: $contents"

# The packaged program runs, and the packaged page is the generated one.
dpkg-deb -x "$deb" "$work/root"
[[ $("$work/root/usr/bin/zeduzaredoz" --version) == "zeduzaredoz $version" ]] ||
  fail "the packaged program does not run"
cmp -s <(zcat "$work/root/usr/share/man/man1/zeduzaredoz.1.gz") "$build/doc/zeduzaredoz.1" ||
  fail "the packaged manual page differs from the generated one"

if [[ $(id -u) -eq 0 && ${CI:-} == true ]]; then
  "$source/scripts/check-deb" "$deb"
else
  echo "dpkg -i skipped (runs as root with CI=true; or run scripts/check-deb by hand)"
fi
echo "package $deb: ok"
