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
pydeb=$dist/python3-quorvel_${version}_amd64.deb
unzip -l "$zip" | awk 'NR > 3 && $4 != "" {print $4}' | sort >zip.txt
printf 'LICENSE.txt\nREADME-ja.txt\nREADME.txt\naxquorvel.sph\naxquorvel.spi\nquorvel.exe\nquorvel64.exe\nspi.h\n' >want.txt
check 'cmp -s zip.txt want.txt' "the zip holds: $(tr '\n' ' ' <zip.txt)"
unzip -q "$zip" -d zip
check 'file zip/axquorvel.spi | grep -q "PE32 executable (DLL).*Intel 80386"' "axquorvel.spi is no 32-bit DLL"
check 'file zip/axquorvel.sph | grep -q "PE32+ executable (DLL).*x86-64"' "axquorvel.sph is no 64-bit DLL"
# Every line of both readmes ends in CR LF; the Japanese one is UTF-8 with a
# byte-order mark, for Notepad.
crlf_only() { [ "$(grep -c "$(printf "\r")$" "$1")" -eq "$(wc -l <"$1")" ] && [ "$(wc -l <"$1")" -gt 20 ]; }
check 'crlf_only zip/README.txt' "README.txt has lines without CR LF"
check 'crlf_only zip/README-ja.txt' "README-ja.txt has lines without CR LF"
# A checkout that turns LF into CR LF would double the CR: the texts the
# release converts are kept LF in every checkout.
check '! grep -q "$(printf "\r\r")" zip/README.txt zip/README-ja.txt zip/LICENSE.txt' "a readme has CR CR LF"
lf_kept() { for text in "$@"; do git -C "$source" check-attr eol -- "$text" | grep -q ": lf$" || return 1; done; }
check 'lf_kept cmake/windows-readme.txt cmake/windows-readme-ja.txt LICENSE' \
    "the texts the release converts to CR LF are not kept LF by .gitattributes"
check 'grep -q "set LANG=C" zip/README.txt && grep -q "set LANG=C" zip/README-ja.txt' \
    "a readme does not say how to choose the language"
check 'grep -q "check と test の結果の行は" zip/README-ja.txt' "README-ja.txt does not say what stays English"
check '[ "$(head -c 3 zip/README-ja.txt | od -An -tx1 | tr -d " ")" = efbbbf ]' \
    "README-ja.txt does not start with a UTF-8 byte-order mark"
check 'iconv -f UTF-8 -t UTF-16 zip/README-ja.txt >/dev/null' "README-ja.txt is not UTF-8"
check 'grep -q "axquorvel.sph   64 ビットのホストアプリケーション用" zip/README-ja.txt' \
    "README-ja.txt says not where the modules go"
check 'grep -q "GetArchiveInfoW" zip/README-ja.txt && grep -q "quorvel extract game.dat" zip/README-ja.txt &&
       grep -q "zlib" zip/README-ja.txt' "README-ja.txt lacks the wide entry points, the commands or the license"
check 'grep -q "axquorvel.sph   for 64-bit host" zip/README.txt' "README.txt says not where the modules go"
check 'grep -q "GetArchiveInfoW" zip/README.txt' "README.txt does not name the wide entry points"
check 'grep -q "spi.h, beside this file" zip/README.txt && grep -q "spi.h" zip/README-ja.txt &&
       grep -q "export            input output" zip/spi.h' \
    "README.txt does not lead host authors to the contract table"
dpkg-deb -c "$deb" | awk '{print $6}' >deb.txt
check 'grep -qx "./usr/bin/quorvel" deb.txt && grep -qx "./usr/share/man/man1/quorvel.1.gz" deb.txt' \
    "the package lacks quorvel or its manual"
check 'grep -qx "./usr/share/man/ja/man1/quorvel.1.gz" deb.txt' "the package lacks the Japanese manual"
check 'grep -qx "./usr/share/locale/ja/LC_MESSAGES/quorvel.mo" deb.txt' "the package lacks the Japanese catalog"
dpkg-deb -x "$deb" unpacked
check 'grep -qx "./usr/share/mime/packages/quorvel.xml" deb.txt && grep -qx "./usr/share/applications/quorvel.desktop" deb.txt &&
       grep -qx "./usr/share/man/man1/quorvel-open.1.gz" deb.txt' \
    "the package lacks the desktop's MIME type, its desktop entry or quorvel-open's manual"
check '[ -x "unpacked/usr/bin/$(sed -n "s/^Exec=\([^ ]*\) .*/\1/p" unpacked/usr/share/applications/quorvel.desktop)" ]' \
    "the package lacks the program its desktop entry runs"
check 'LANG=ja_JP.UTF-8 unpacked/usr/bin/quorvel --help | grep -q "^使用法: quorvel"' \
    "the packaged quorvel does not find its Japanese catalog"
check 'zcat unpacked/usr/share/man/ja/man1/quorvel.1.gz | grep -q "^\.SH 書式" &&
       zcat unpacked/usr/share/man/ja/man1/quorvel.1.gz | grep -q "^quorvel[^-]*\\\\- Quorvel[^ア]*アーカイブ"' \
    "the Japanese manual page is not Japanese"
check 'MANPATH="$work/unpacked/usr/share/man" man -L ja quorvel 2>/dev/null | grep -q "^書式"' \
    "man -L ja quorvel does not show the Japanese page"
check '[ "$(dpkg-deb -f "$deb" Package Version Architecture | tr "\n" " ")" = \
        "Package: quorvel Version: $version Architecture: amd64 " ]' "the package's control fields"
check '(cd "$dist" && sha256sum -c --quiet SHA256SUMS)' "SHA256SUMS does not match"
# The Python module from its package, on Debian's python3.
dpkg-deb -x "$pydeb" unpacked
check '[ "$(PYTHONPATH="$work/unpacked/usr/lib/python3/dist-packages" /usr/bin/python3 -c \
        "import quorvel; print(quorvel.__version__, quorvel.is_archive(\"$source/LICENSE\"))")" = \
        "$version False" ]' "the packaged Python module does not import"
check 'dpkg-deb -f "$pydeb" Depends | grep -q "python3 (>= 3"' "python3-quorvel does not depend on python3"
# Every package as Debian's lintian sees it: no error, no warning.
if command -v lintian >/dev/null; then
    for package in "$deb" "$pydeb"; do
        lintian --fail-on error,warning "$package" >lintian.txt 2>&1
        linted=$?
        grep -E "^[EW]:" lintian.txt >&2
        check '[ $linted -eq 0 ]' "lintian reports errors or warnings on $(basename "$package")"
    done
else
    echo "lintian is not installed: the packages' lintian check is skipped"
fi

# make install into a staging folder, then run what it installed. It
# configures the native build as make native does, after make dist's
# configure: that must leave nothing to build, or rebuilds differ.
make -s -C "$source" install DESTDIR="$work/stage" PREFIX=/opt/q BUILD="$build" >install.txt 2>&1 || cat install.txt
rebuilt=$(grep -E "Building|Linking|Generating|Re-running" install.txt | head -3 | tr "\n" " ")
check '[ -z "$rebuilt" ]' "make install after make dist built again: $rebuilt"
check '"$work/stage/opt/q/bin/quorvel" --version | grep -q "^quorvel $version"' "the installed quorvel does not run"
check '[ -s "$work/stage/opt/q/share/man/man1/quorvel.1.gz" ]' "no manual page installed"
check '[ -s "$work/stage/opt/q/share/man/ja/man1/quorvel.1.gz" ]' "no Japanese manual page installed"
check 'PYTHONPATH="$work/stage/opt/q/lib/python3/dist-packages" /usr/bin/python3 -c "import quorvel" &&
       [ -s "$work/stage/opt/q/lib/python3/dist-packages/quorvel.pyi" ]' "make install put no Python module"
check 'LANG=ja_JP.UTF-8 "$work/stage/opt/q/bin/quorvel" list "$source/LICENSE" 2>&1 | grep -q "Quorvel アーカイブではありません"' \
    "the installed quorvel does not speak Japanese"
check 'LANG=ja_JP.UTF-8 "$work/stage/opt/q/bin/quorvel" --help | grep -q "^使用法: quorvel"' \
    "the installed quorvel does not find its Japanese catalog"

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
check 'cmp "$work/package/$(basename "$zip")" "$zip" && cmp "$work/package/$(basename "$deb")" "$deb" &&
       cmp "$work/package/$(basename "$pydeb")" "$pydeb"' \
    "packing again gives other bytes"
finish
