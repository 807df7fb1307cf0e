#!/usr/bin/env bash
# Static analysis of every source of the project: clang-tidy with the checks in .clang-tidy,
# then cppcheck. Fails on any finding. Usage: tests/static_checks.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/analysis}

# Every top folder that holds headers is one that clang-tidy reports on.
filter=$(sed -n "s/^HeaderFilterRegex: '\(.*\)'$/\1/p" .clang-tidy)
for folder in $(git ls-files '*.h' | cut -d/ -f1 | sort -u); do
  if ! echo "/$folder/" | grep -q -E "$filter"; then
    echo "static checks: .clang-tidy's HeaderFilterRegex leaves out $folder/, which holds headers"
    exit 1
  fi
done

# A compile database that holds the programs, the tests, the benchmarks and the fuzz targets.
cmake -S . -B "$build" -DTESSEL_BUILD_TESTS=ON -DTESSEL_BUILD_FUZZERS=ON \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON > /dev/null
# The compile_fail sources must not compile; ctest checks that.
sources=$(git ls-files '*.cpp' | grep -v '^tests/compile_fail/')

echo "clang-tidy: $(echo "$sources" | wc -l) files"
echo "$sources" | xargs -P "$(nproc)" -n 1 clang-tidy -p "$build" --quiet 2>&1 \
  | grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' > "$build/clang-tidy.log" || true
if grep -q -E '(warning|error):' "$build/clang-tidy.log"; then
  cat "$build/clang-tidy.log"
  exit 1
fi

echo "cppcheck"
cppcheck --enable=warning,performance,portability --std=c++17 --inline-suppr --error-exitcode=1 \
  --library=googletest --library=posix --suppress=missingIncludeSystem -q -j "$(nproc)" \
  --project="$build/compile_commands.json"
echo "static checks: clean"
