#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, then builds and runs a consumer against it,
# once through the CMake package and once through pkg-config.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
source=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/tessel-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" > /dev/null
for file in include/tessel/double_array.h include/tessel/index_view.h bin/tessel-build \
  bin/tessel-lookup share/man/man1/tessel-build.1 share/man/man1/tessel-lookup.1 \
  share/pkgconfig/tessel.pc; do
  [ -e "$prefix/$file" ] || { echo "not installed: $file"; exit 1; }
done
ls "$prefix"/lib*/cmake/Tessel/TesselConfigVersion.cmake > /dev/null

# The installed programs work together.
printf 'one\ntwo\n' > "$work/keys.txt"
"$prefix/bin/tessel-build" "$work/keys.txt" "$work/keys.idx" > /dev/null
[ "$(printf 'two\n' | "$prefix/bin/tessel-lookup" "$work/keys.idx")" = "$(printf '1\ttwo')" ]
MANPATH=$prefix/share/man man -w tessel-lookup > /dev/null 2>&1 ||
  [ -s "$prefix/share/man/man1/tessel-lookup.1" ]

cmake -S "$source/tests/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" > /dev/null
cmake --build "$work/cmake-build" > /dev/null
"$work/cmake-build/consumer" "$work/cmake.idx"

flags=$(PKG_CONFIG_PATH=$prefix/share/pkgconfig pkg-config --cflags tessel)
# shellcheck disable=SC2086
${CXX:-c++} $flags -o "$work/pc-consumer" "$source/tests/consumer/main.cpp"
"$work/pc-consumer" "$work/pc.idx"
echo "installed, and consumers built with CMake and pkg-config"
