#!/usr/bin/env bash
# Installs what the build and the tests need, where it is missing, then builds everything and runs every
# test: the plain suite, the suite under the sanitizers, the suite as built for other POSIX systems and
# the fuzzer. Run from anywhere.
# Each step on a line of its own: `set -e` does not stop at a failure inside an && list.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for package in cmake make g++ libgtest-dev python3-pytest python3-pexpect dpkg-dev man-db lintian clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix wine64 btrfs-progs acl xfsprogs exfat-fuse exfatprogs fusefat dosfstools ntfs-3g; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer (the Windows programs,
# tested above, are not built with them).
cmake -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DBREL_SANITIZE=ON -DBREL_WINDOWS_TESTS=OFF
cmake --build build-sanitize -j2
ctest --test-dir build-sanitize --output-on-failure -j2

# The whole suite again as built for a POSIX system other than Linux, so that the fallbacks for the
# Linux-only calls run for real.
cmake -B build-generic -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBREL_GENERIC_POSIX=ON -DBREL_WINDOWS_TESTS=OFF
cmake --build build-generic -j2
ctest --test-dir build-generic --output-on-failure -j2

# The directory walk under libFuzzer, for a bounded time.
fuzz/run_fuzzer.sh 60
