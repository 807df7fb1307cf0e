#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, then builds and runs a consumer against it,
# once through the CMake package and once through pkg-config, and the README's C++ example.
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
# The manual pages carry the version the programs say.
version=$(cat "$source/VERSION")
for page in tessel-build tessel-lookup; do
  grep -q "\"Tessel $version\"" "$prefix/share/man/man1/$page.1" ||
    { echo "$page.1 does not say version $version"; exit 1; }
done

cmake -S "$source/tests/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" > /dev/null
cmake --build "$work/cmake-build" > /dev/null
"$work/cmake-build/consumer" "$work/cmake.idx"

flags=$(PKG_CONFIG_PATH=$prefix/share/pkgconfig pkg-config --cflags --libs tessel)
# Each flag once.
[ "$(echo "$flags" | tr ' ' '\n' | grep -c -- -pthread)" = 1 ] ||
  { echo "pkg-config gives -pthread more than once: $flags"; exit 1; }
# The standard is the consumer's: C++20 stays C++20 whatever pkg-config adds.
# shellcheck disable=SC2086
${CXX:-c++} -std=c++20 -DREQUIRE_CXX20 $flags -o "$work/pc-consumer" \
  "$source/tests/consumer/main.cpp"
"$work/pc-consumer" "$work/pc.idx"

# Code bases that make every conversion and shadowing an error, with exceptions on or off.
for exceptions in -fexceptions -fno-exceptions; do
  ${CXX:-c++} -std=c++17 -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion \
    -Werror $exceptions $flags -o "$work/strict" "$source/tests/consumer/strict.cpp"
  [ "$("$work/strict" "$work/strict$exceptions.idx")" = ok ] ||
    { echo "the strict consumer ($exceptions) failed"; exit 1; }
done

# The README's C++ example, a whole program as it stands.
awk '/^```cpp$/ { inside = 1; next } inside && /^```$/ { exit } inside' "$source/README.md" \
  > "$work/example.cpp"
# shellcheck disable=SC2086
${CXX:-c++} -std=c++17 -Wall -Werror $flags -o "$work/example" "$work/example.cpp"
(cd "$work" && ./example) > "$work/example.out"
[ "$(cat "$work/example.out")" = "$(printf '2\n3 apricot 1\n14 banana 2')" ] ||
  { echo "the README's C++ example printed:"; cat "$work/example.out"; exit 1; }

# As a subproject, the tree gives the library target and makes nothing else unless asked.
mkdir "$work/parent"
{
  echo 'cmake_minimum_required(VERSION 3.25)'
  echo 'project(Parent LANGUAGES CXX)'
  echo "add_subdirectory(\"$source\" tessel)"
  echo "add_executable(consumer \"$source/tests/consumer/main.cpp\")"
  echo 'target_link_libraries(consumer PRIVATE Tessel::tessel)'
} > "$work/parent/CMakeLists.txt"
cmake -S "$work/parent" -B "$work/parent-build" > /dev/null
if cmake --build "$work/parent-build" --target help | grep -q -E '(tessel-build|keygen|tessel-python)$'; then
  echo "a subproject makes more than the library"
  exit 1
fi
cmake --build "$work/parent-build" > /dev/null
"$work/parent-build/consumer" "$work/sub.idx"
echo "installed, and consumers built with CMake and pkg-config"
