#!/usr/bin/env bash
# Cross-builds Qt 5.15 for 64-bit Windows (QtCore, QtTest, QtNetwork) with Debian's MinGW-w64
# compilers (the -posix ones: std::thread), from Debian's own qtbase-opensource-src, the same
# version as the host's Qt. Only what a console Qt program and its tests need is built.
#
# The result is installed into a cache outside the clone, keyed by the source version, the
# compiler version and the configure options, and reused when it is there:
#
#   ${KK_QT_MINGW_CACHE:-/var/cache/kk-qt-mingw}/qtbase-<version>-<key>/prefix
#   ${KK_QT_MINGW_CACHE:-/var/cache/kk-qt-mingw}/current -> the one last built or used
#
# Progress goes to stderr; the last line on stdout is the prefix. A fresh build takes about
# 8 minutes on a 2-core machine (configure 2, host tools 1.5, QtCore 3.5, the rest 1); a cached
# one returns at once.
set -euo pipefail

cache_root=${KK_QT_MINGW_CACHE:-/var/cache/kk-qt-mingw}
if ! mkdir -p "$cache_root" 2>/dev/null || [ ! -w "$cache_root" ]; then
    cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/kk-qt-mingw
    mkdir -p "$cache_root"
fi

started=$(date +%s)
say() { echo "qt-mingw: [$(( $(date +%s) - started )) s] $*" >&2; }

source_package=qtbase-opensource-src
source_version=$(dpkg-query -W -f='${source:Version}' libqt5core5a)
compiler_version=$(dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix)
configure_options=(
    -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32-
    -release -shared -opensource -confirm-license
    -no-gui -no-widgets -no-opengl -no-dbus -no-icu -no-openssl -no-pkg-config
    -qt-zlib -qt-pcre -qt-doubleconversion
    -no-sql-sqlite -no-sql-odbc -no-sql-psql -no-sql-mysql
    -nomake examples -nomake tests
)
modules=(corelib winmain testlib network)
key=$(printf '%s\n' "$source_version" "$compiler_version" "${configure_options[*]}" "${modules[*]}" |
    sha256sum | cut -c1-12)
target=$cache_root/qtbase-$source_version-$key
prefix=$target/prefix

# One build at a time; a second caller waits and then finds the cache.
exec 9>"$cache_root/.lock"
flock 9

if [ -f "$target/complete" ]; then
    ln -sfn "$target" "$cache_root/current"
    say "using the cached build $prefix"
    echo "$prefix"
    exit 0
fi

say "building Qt $source_version for Windows (MinGW-w64 $compiler_version) into $prefix"
rm -rf "$target"
work=$target/work
mkdir -p "$work/apt/sources.list.d" "$work/apt/lists/partial" "$work/apt/archives/partial" "$work/bin" "$work/build"

# The source comes from the archives this machine already uses: its deb entries, turned into
# deb-src entries in a private apt configuration, so that nothing of the system's apt state changes.
shopt -s nullglob
for file in /etc/apt/sources.list.d/*.sources; do
    sed -E 's/^Types:.*$/Types: deb-src/' "$file" > "$work/apt/sources.list.d/$(basename "$file")"
done
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    sed -nE 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$file" > "$work/apt/sources.list.d/$(basename "$file").list"
done
shopt -u nullglob
apt_options=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$work/apt/sources.list.d"
             -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache::Archives=$work/apt/archives"
             -o "APT::Get::List-Cleanup=0" -o "APT::Sandbox::User=root")
say "fetching the source package index"
apt-get "${apt_options[@]}" update -qq >&2
say "downloading $source_package $source_version"
(cd "$work" && apt-get "${apt_options[@]}" source --download-only -qq "$source_package=$source_version" >&2)
say "unpacking (Debian's patches applied)"
dpkg-source -x "$work"/${source_package}_*.dsc "$work/src" > "$work/unpack.log" 2>&1 ||
    { tail -n 20 "$work/unpack.log" >&2; exit 1; }

# Qt's win32-g++ mkspec calls $(CROSS_COMPILE)gcc and g++: make those the -posix compilers,
# whatever the system's alternatives say.
for tool in gcc g++; do
    printf '#!/bin/sh\nexec /usr/bin/x86_64-w64-mingw32-%s-posix "$@"\n' "$tool" > "$work/bin/x86_64-w64-mingw32-$tool"
    chmod +x "$work/bin/x86_64-w64-mingw32-$tool"
done
export PATH=$work/bin:$PATH
jobs=$(nproc)

cd "$work/build"
say "configuring (this also builds the host qmake)"
MAKEFLAGS=-j$jobs "$work/src/configure" -prefix "$prefix" "${configure_options[@]}" > "$work/configure.log" 2>&1 ||
    { tail -n 40 "$work/configure.log" >&2; exit 1; }
mkdir -p src
(cd src && ../bin/qmake -o Makefile "$work/src/src/src.pro") > "$work/qmake.log" 2>&1
build() {
    say "building $1"
    shift
    make -C src -j"$jobs" "$@" > "$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; exit 1; }
}
build "the host tools (moc, rcc)" sub-moc sub-rcc sub-tracegen
build "QtCore" sub-corelib
build "QtTest" sub-winmain sub-testlib
build "QtNetwork" sub-network
say "installing"
{
    make install_mkspecs sub-qmake-qmake-aux-pro-install_subtargets
    make -C src sub-moc-install_subtargets sub-rcc-install_subtargets sub-corelib-install_subtargets \
        sub-winmain-install_subtargets sub-testlib-install_subtargets sub-network-install_subtargets
} > "$work/install.log" 2>&1 || { tail -n 40 "$work/install.log" >&2; exit 1; }

cd "$cache_root"
rm -rf "$work"
touch "$target/complete"
ln -sfn "$target" "$cache_root/current"
say "done: $(du -sh "$prefix" | cut -f1) in $prefix"
echo "$prefix"
