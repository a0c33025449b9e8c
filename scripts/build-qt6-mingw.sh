#!/usr/bin/env bash
# Builds Qt 6 (qtbase only: Core, Gui, Widgets, Test, the windows and offscreen platform plugins,
# the windowsvista style plugin) for 64-bit Windows with Debian 12's MinGW-w64 (-posix thread
# model), from Debian's own qt6-base source package, and installs it into PREFIX.
#
#   build-qt6-mingw.sh PREFIX [WORKDIR]        (as root, on Debian 12 "bookworm")
#
# WORKDIR (default PREFIX-work) holds the source package, the unpacked source and the build tree.
# The host tools (moc, rcc, uic, ...) come from Debian's qt6-base-dev / qt6-base-dev-tools, whose
# version must be the source version: the script fetches exactly the installed one.
# Environment: JOBS (default: nproc), NICE (default: "nice -n 19"), STEPS (default: all; "configure"
# stops after configuring).
# The MinGW runtime (libgcc, libstdc++, winpthread) is linked statically into every Qt DLL, so
# a program needs only Qt's DLLs and plugins beside it. scripts/windows-qt runs this when no
# prebuilt prefix is at hand. Programs configure with a MinGW toolchain of their own
# (cmake/mingw-w64.cmake) plus -DCMAKE_PREFIX_PATH=PREFIX -DQT_HOST_PATH=/usr
# -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake and CMAKE_FIND_ROOT_PATH_MODE_PACKAGE
# BOTH; not with PREFIX/lib/cmake/Qt6/qt.toolchain.cmake, which names the toolchain file by an
# absolute path and so breaks once the prefix is moved or unpacked elsewhere.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 PREFIX [WORKDIR]" >&2
  exit 2
fi
prefix=$(realpath -m "$1")
work=$(realpath -m "${2:-$prefix-work}")
jobs=${JOBS:-$(nproc)}
read -r -a nice_cmd <<<"${NICE:-nice -n 19}"
steps=${STEPS:-all}
if [ "$(id -u)" != 0 ]; then
  echo "run as root (it installs Debian packages)" >&2
  exit 1
fi

wait_for_dpkg() {
  while fuser /var/lib/dpkg/lock-frontend /var/lib/dpkg/lock >/dev/null 2>&1; do
    echo "waiting for another apt/dpkg run..."
    sleep 10
  done
}

# --- 1. Debian packages and the source package ----------------------------------------------
if ! grep -rqsE '^Types:.*deb-src' /etc/apt/sources.list.d/ &&
   ! grep -qsE '^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list; then
  echo "Adding /etc/apt/sources.list.d/debian-src.sources"
  cat >/etc/apt/sources.list.d/debian-src.sources <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
fi
export DEBIAN_FRONTEND=noninteractive
wait_for_dpkg
apt-get update -qq
wait_for_dpkg
apt-get install -y -qq --no-install-recommends \
  cmake ninja-build perl xz-utils patch psmisc \
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
  mingw-w64-x86-64-dev qt6-base-dev qt6-base-dev-tools

version=$(dpkg-query -W -f='${source:Version}' qt6-base-dev)   # e.g. 6.4.2+dfsg-10
upstream=${version%%+*}                                            # e.g. 6.4.2
upstream=${upstream%%-*}
mkdir -p "$work"
cd "$work"
if [ ! -f "qt6-base_${version#*:}.dsc" ]; then
  apt-get source --download-only "qt6-base=$version"
fi
src=$work/qtbase-everywhere-src-$upstream
if [ ! -f "$src/.unpacked" ]; then
  rm -rf "$src" "$work/debian"
  tar xf qt6-base_"${version%-*}".orig.tar.xz
  tar xf qt6-base_"${version#*:}".debian.tar.xz          # -> ./debian
  # Debian's security fixes only (the other patches serve Debian's own packaging and ports).
  grep -E '^cve-' debian/patches/series | while read -r patch; do
    echo "applying debian/patches/$patch"
    patch -d "$src" -p1 -s <"debian/patches/$patch"
  done
  touch "$src/.unpacked"
fi

# --- 2. Toolchain file ----------------------------------------------------------------------
# Kept in the prefix: Qt's lib/cmake/Qt6/qt.toolchain.cmake loads it from there.
toolchain=$prefix/share/mingw-w64-qt.cmake
mkdir -p "$prefix/share"
cat >"$toolchain" <<'EOF'
# 64-bit Windows with Debian's MinGW-w64 (posix thread model); the C/C++ runtime (libgcc,
# libstdc++, winpthread) is linked statically into every DLL and EXE.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(mingw_prefix x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${mingw_prefix}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_prefix}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_prefix}-windres)
set(CMAKE_AR ${mingw_prefix}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${mingw_prefix}-gcc-ranlib-posix CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(_static_rt "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_static_rt}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_static_rt}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_static_rt}")
EOF

# --- 3. Configure ---------------------------------------------------------------------------
# Debian's source has no src/3rdparty/wintab (removed as non-free): tablet support is off, and so
# is the Direct2D plugin that also needs it. Without Direct2D, Qt 6.4.2 compiles no DirectWrite
# font database into Qt6Gui, yet with DirectWrite 3 on the windows plugin refers to it (undefined
# reference to QWindowsDirectWriteFontDatabase): DirectWrite 3 is off, text goes through GDI.
build=$work/build
mkdir -p "$build"
SECONDS=0
"${nice_cmd[@]}" cmake -S "$src" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DQT_HOST_PATH=/usr \
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DBUILD_SHARED_LIBS=ON \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
  -DFEATURE_pkg_config=OFF \
  -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF \
  -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_vulkan=OFF \
  -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_printsupport=OFF \
  -DFEATURE_direct2d=OFF -DFEATURE_directwrite3=OFF -DFEATURE_tabletevent=OFF \
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF \
  -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF \
  -DFEATURE_system_doubleconversion=OFF \
  -DFEATURE_jpeg=OFF -DFEATURE_zstd=OFF -DFEATURE_icu=OFF \
  >"$work/configure.log" 2>&1 || { tail -50 "$work/configure.log"; exit 1; }
echo "configured in ${SECONDS}s (log: $work/configure.log)"
if [ "$steps" = configure ]; then exit 0; fi

# --- 4. Build and install -------------------------------------------------------------------
SECONDS=0
"${nice_cmd[@]}" cmake --build "$build" -j "$jobs" >"$work/build.log" 2>&1 ||
  { tail -50 "$work/build.log"; exit 1; }
echo "built in ${SECONDS}s (log: $work/build.log)"
cmake --install "$build" --strip >"$work/install.log" 2>&1 || { tail -50 "$work/install.log"; exit 1; }
echo "installed into $prefix ($(du -sh "$prefix" | cut -f1))"
echo "Build programs with: cmake -DCMAKE_PREFIX_PATH=$prefix -DQT_HOST_PATH=/usr ..."
echo "Ship beside the .exe: $prefix/bin/Qt6{Core,Gui,Widgets}.dll, plugins/platforms/qwindows.dll"
echo "(in platforms/), plugins/styles/qwindowsvistastyle.dll (in styles/)."
