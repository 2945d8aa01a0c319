#!/usr/bin/env bash
# Installs what the build and the tests need when it is missing:
# cmake, g++, make and GoogleTest from Debian's packages, python3 for the
# end-to-end tests.
set -euo pipefail
need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
command -v python3 >/dev/null 2>&1 || need+=(python3)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
# clang with its libFuzzer runtime for the bounded fuzzing of scripts/test.sh.
# Optional: without it the fuzzing step is skipped, everything else runs.
if ! command -v clang++ >/dev/null 2>&1 || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  echo "Installing: clang libclang-rt-dev"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  { $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq clang libclang-rt-dev >/dev/null; } ||
    echo "clang could not be installed: the fuzzing step will be skipped"
fi
