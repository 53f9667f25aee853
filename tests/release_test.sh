#!/bin/sh
# The release: what the zip and the Debian package hold, an install that
# runs, and the same bytes from the same commit.
# usage: release_test.sh BUILD_DIR DIST_DIR   (after make dist)
set -u
build=$(realpath "$1")
dist=$(realpath "$2")
source=$(realpath "$(dirname "$0")/..")
version=$(sed -n 's/#define AXQ_VERSION_TEXT "\(.*\)"/\1/p' "$source/plugin/version.h")
Q=true
# As make dist: times from the last commit.
: "${SOURCE_DATE_EPOCH:=$(git -C "$source" log -1 --format=%ct)}"
export SOURCE_DATE_EPOCH
. "$source/tests/testlib.sh"

zip=$dist/axquorvel-$version-windows.zip
deb=$dist/quorvel_${version}_amd64.deb
unzip -l "$zip" | awk 'NR > 3 && $4 != "" {print $4}' | sort >zip.txt
printf 'LICENSE.txt\nREADME.txt\naxquorvel.sph\naxquorvel.spi\nquorvel.exe\nquorvel64.exe\nspi.h\n' >want.txt
check 'cmp -s zip.txt want.txt' "the zip holds: $(tr '\n' ' ' <zip.txt)"
unzip -q "$zip" -d zip
check 'file zip/axquorvel.spi | grep -q "PE32 executable (DLL).*Intel 80386"' "axquorvel.spi is no 32-bit DLL"
check 'file zip/axquorvel.sph | grep -q "PE32+ executable (DLL).*x86-64"' "axquorvel.sph is no 64-bit DLL"
check 'head -c 2000 zip/README.txt | grep -q "$(printf "\r")$"' "README.txt has no CR LF line ends"
check 'grep -q "axquorvel.sph   for 64-bit host" zip/README.txt' "README.txt says not where the modules go"
check 'grep -q "GetArchiveInfoW" zip/README.txt' "README.txt does not name the wide entry points"
check 'grep -q "spi.h, beside this file" zip/README.txt && grep -q "export            input output" zip/spi.h' \
    "README.txt does not lead host authors to the contract table"
dpkg-deb -c "$deb" | awk '{print $6}' >deb.txt
check 'grep -qx "./usr/bin/quorvel" deb.txt && grep -qx "./usr/share/man/man1/quorvel.1" deb.txt' \
    "the package lacks quorvel or its manual"
check '[ "$(dpkg-deb -f "$deb" Package Version Architecture | tr "\n" " ")" = \
        "Package: quorvel Version: $version Architecture: amd64 " ]' "the package's control fields"
check '(cd "$dist" && sha256sum -c --quiet SHA256SUMS)' "SHA256SUMS does not match"

# make install into a staging folder, then run what it installed.
make -s -C "$source" install DESTDIR="$work/stage" PREFIX=/opt/q BUILD="$build" >/dev/null
check '"$work/stage/opt/q/bin/quorvel" --version | grep -q "^quorvel $version"' "the installed quorvel does not run"
check '[ -s "$work/stage/opt/q/share/man/man1/quorvel.1" ]' "no manual page installed"

# The same sources, built again in fresh folders, give the same modules.
for arch in i686 x86_64; do
    module=axquorvel.spi
    [ $arch = x86_64 ] && module=axquorvel.sph
    for round in a b; do
        cmake -S "$source" -B "$work/$arch-$round" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-$arch.cmake" >/dev/null &&
            cmake --build "$work/$arch-$round" --target axquorvel >/dev/null
    done
    check 'cmp "$work/$arch-a/$module" "$work/$arch-b/$module" && cmp "$work/$arch-a/$module" zip/$module' \
        "$module differs between two builds of the same sources"
done
# And packing again gives the same zip and package.
(cd "$build/native" && cpack -G "ZIP;DEB" -B "$work/package" >/dev/null 2>&1)
check 'cmp "$work/package/$(basename "$zip")" "$zip" && cmp "$work/package/$(basename "$deb")" "$deb"' \
    "packing again gives other bytes"
finish
