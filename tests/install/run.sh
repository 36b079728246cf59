#!/usr/bin/env bash
# Installs Mirava as a user would, once from the Debian package (apt-get, as
# root) and once with `cmake --install` into a scratch prefix, checks what was
# installed from a folder outside the checkout, removes it again and checks
# that nothing of it is left. Non-zero on any failure.
#   tests/install/run.sh [BUILD_DIR]    (default build/)
set -euo pipefail
cd "$(dirname "$0")/../.."
checkout=$PWD
build=$(realpath -m "${1:-build}")

fail() {
  echo "install test: $*" >&2
  exit 1
}

[ "$(id -u)" -eq 0 ] || fail "must run as root (it installs a package with apt-get)"
if dpkg-query -W -f='${Status}' mirava 2>/dev/null | grep -q "install ok installed"; then
  fail "a mirava package is installed already; remove it first"
fi

scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")

work=$(mktemp -d)
installed_package=false
cleanup() {
  if $installed_package; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq mirava >/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# The same job through the build's mirava-cli, to compare with.
mkdir "$work/reference"
cp samples/luxembourg samples/luxembourg.ers "$work/reference/"
"$build/mirava-cli" "$work/reference/luxembourg.ers" "$work/reference/cw.ers" /3 2>/dev/null

# Everything a user meets after installing into prefix $1.
check_installed() {
  local prefix=$1 run
  run=$(mktemp -d "$work/run.XXXX")
  mkdir "$run/home"
  mkdir -m 700 "$run/runtime"
  cp samples/luxembourg samples/luxembourg.ers "$run/"
  (
    cd "$run"
    export HOME=$run/home XDG_RUNTIME_DIR=$run/runtime
    unset XDG_CONFIG_HOME DISPLAY WAYLAND_DISPLAY

    [ "$("$prefix/bin/mirava-cli" --version)" = "mirava-cli $version" ] ||
      fail "mirava-cli --version does not say $version"
    [ "$("$prefix/bin/mirava" --version)" = "mirava $version" ] ||
      fail "mirava --version does not say $version"

    "$prefix/bin/mirava-cli" luxembourg.ers cli.ers /3 2>cli.log ||
      fail "the installed mirava-cli failed: $(tail -n 2 cli.log)"
    tail -n 1 cli.log | grep -qx "Successful Finish" || fail "mirava-cli did not finish"
    cmp -s cli "$work/reference/cw" || fail "mirava-cli wrote other cells than the build's"

    QT_QPA_PLATFORM=offscreen "$prefix/bin/mirava" luxembourg.ers window.ers /F /3 2>window.log ||
      fail "the installed mirava failed unattended: $(tail -n 2 window.log)"
    cmp -s window "$work/reference/cw" || fail "mirava wrote other cells than the build's"
    grep -qx "InName=luxembourg.ers" home/.config/mirava/mirava.ini ||
      fail "mirava kept its settings elsewhere than in the user's folder"
    [ ! -e "$prefix/bin/mirava.ini" ] || fail "mirava wrote its settings into $prefix/bin"

    "$prefix/bin/mirava" --help | grep -qx "Help page: $prefix/share/doc/mirava/mirava.html" ||
      fail "mirava does not find its help page in $prefix/share/doc/mirava"
  ) || return 1

  local verdict
  verdict=$(desktop-file-validate "$prefix/share/applications/mirava.desktop" 2>&1) ||
    fail "desktop-file-validate rejects mirava.desktop: $verdict"
  [ -z "$verdict" ] || fail "desktop-file-validate finds fault with mirava.desktop: $verdict"
  for page in mirava mirava-cli; do
    local file=$prefix/share/man/man1/$page.1.gz warnings
    warnings=$(MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man -l $page.1 warns: $warnings"
    MANWIDTH=80 man -l "$file" 2>/dev/null | grep -q "^Mirava $version " ||
      fail "$page.1 does not show version $version"
  done
  [ -s "$prefix/share/icons/hicolor/scalable/apps/mirava.svg" ] || fail "no scalable icon"
  file "$prefix/share/icons/hicolor/48x48/apps/mirava.png" | grep -q "PNG image data, 48 x 48" ||
    fail "no 48 x 48 icon"
  [ -s "$prefix/share/doc/mirava/README.md" ] || fail "no README in $prefix/share/doc/mirava"
  bash -c 'source "$1"; complete -p mirava-cli' _ \
    "$prefix/share/bash-completion/completions/mirava-cli" >/dev/null ||
    fail "the bash completion does not complete mirava-cli"
  rm -rf "$run"
}

echo "install test: the Debian package" >&2
(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
package=$(echo "$work"/package/mirava_"$version"_*.deb)
[ -f "$package" ] || fail "cpack made no mirava_${version}_<arch>.deb"
dpkg-deb -f "$package" Maintainer | grep -q "@" || fail "the package names no maintainer"
# Debian's checker finds no error and no warning (it needs no allowance).
verdict=$(lintian --fail-on error,warning "$package" 2>&1) ||
  fail "lintian finds fault with the package:"$'\n'"$verdict"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$package" >/dev/null
installed_package=true
dpkg-query -L mirava | sort >"$work/files"
check_installed /usr
[ "$(man -w mirava-cli)" = /usr/share/man/man1/mirava-cli.1.gz ] || fail "man does not find mirava-cli"
grep -q "mirava.desktop" /usr/share/applications/mimeinfo.cache ||
  fail "the desktop database was not refreshed on install"
grep -qa "mirava" /usr/share/icons/hicolor/icon-theme.cache ||
  fail "the icon cache was not refreshed on install"

DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq mirava >/dev/null
installed_package=false
while IFS= read -r path; do
  [ -d "$path" ] || [ ! -e "$path" ] || fail "$path is left after removing the package"
done <"$work/files"
left=$(find /usr -path "*mirava*" -print -quit)
[ -z "$left" ] || fail "$left is left after removing the package"
! grep -q "mirava.desktop" /usr/share/applications/mimeinfo.cache ||
  fail "the desktop database still lists mirava after removal"
! grep -qa "mirava" /usr/share/icons/hicolor/icon-theme.cache ||
  fail "the icon cache still lists mirava after removal"

echo "install test: cmake --install into a scratch prefix" >&2
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
check_installed "$prefix"
xargs -d '\n' rm -f <"$build/install_manifest.txt"
left=$(find "$prefix" -type f -print -quit)
[ -z "$left" ] || fail "$left is left after removing the installed files"

echo "install test: passed" >&2
