#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds the program for 64-bit Windows into build-windows/ (WINDOWS_BUILD_DIR to change it)
# and makes what a Windows user downloads: tq5bus-1.0-windows-x64.zip and ...-setup.exe. Qt for
# Windows comes from TQ5_QT_MINGW (a folder with host/ and win/), else from
# ../shared/toolchains/qt-6.8.0-mingw64.tar.xz, unpacked into the build folder once. Prints the
# two files' paths.
set -euo pipefail
cd "$(dirname "$0")/.."
# Only the files' paths go to standard output.
scripts/deps.sh cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools nsis qt6-translations-l10n >&2
build=$(realpath -m "${WINDOWS_BUILD_DIR:-build-windows}")
mkdir -p "$build"
# Where Qt's source and licence texts are, for the notices beside its DLLs: worked out anew each
# run, as the Qt folder may have changed; the source is known for the archive only.
source=(-UTQ5_QT_SOURCE -UTQ5_QT_LICENCES)
qt=${TQ5_QT_MINGW:-}
if [ -z "$qt" ]; then
    archive=../shared/toolchains/qt-6.8.0-mingw64.tar.xz
    [ -r "$archive" ] || {
        echo "scripts/windows.sh: no Qt for Windows: set TQ5_QT_MINGW to a folder with host/ and win/, or put $archive beside this checkout" >&2
        exit 1
    }
    qt=$build/qt-6.8.0-mingw64
    if [ ! -e "$qt/.unpacked" ]; then
        echo "Unpacking $archive into $build ..." >&2
        rm -rf "$qt"
        tar -C "$build" -xJf "$archive"
        touch "$qt/.unpacked"
    fi
    source=(-DTQ5_QT_SOURCE="qtbase from the 6.8 branch at commit b839e9b36d (2024-10-01) and qtserialport v6.8.0, https://code.qt.io/cgit/qt/")
fi
qt=$(realpath "$qt")
[ -d "$qt/win" ] && [ -d "$qt/host" ] ||
    { echo "scripts/windows.sh: $qt has no win/ and host/ folders" >&2 && exit 1; }

[ -e "$build/CMakeCache.txt" ] || echo "Building into $build (first time, about a minute) ..." >&2
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/packaging/windows/mingw-w64.cmake" \
    -DCMAKE_PREFIX_PATH="$qt/win" -DQT_HOST_PATH="$qt/host" "${source[@]}" &&
    cmake --build "$build" &&
    rm -f "$build"/tq5bus-*-windows-x64* && (cd "$build" && cpack); } >"$log" 2>&1; then
    cat "$log" >&2
    echo "scripts/windows.sh: the Windows build failed; its output is above" >&2
    exit 1
fi
ls "$build"/tq5bus-*-windows-x64.zip "$build"/tq5bus-*-windows-x64-setup.exe
