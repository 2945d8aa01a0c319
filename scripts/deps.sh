#!/usr/bin/env bash
# Installs what the build and the tests need when it is missing:
# cmake, g++, make, pkg-config, libsodium and GoogleTest from Debian's
# packages, python3 for the end-to-end tests. With the argument "test" also what the checks of the
# things that ship around the programs need: mandoc and groff (manual pages),
# systemd-analyze (the unit), dpkg-dev and file (cpack's Debian package),
# tshark (the Wireshark dissector), ip (the network namespaces of the
# transfers over the link emulator) and mke2fs (a file system that keeps
# whole seconds, for the server's kept digests).
set -euo pipefail
need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
command -v python3 >/dev/null 2>&1 || need+=(python3)
command -v pkg-config >/dev/null 2>&1 || need+=(pkg-config)
[ -f /usr/include/sodium.h ] || need+=(libsodium-dev)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
if [ "${1:-}" = test ]; then
  command -v mandoc >/dev/null 2>&1 || need+=(mandoc)
  command -v groff >/dev/null 2>&1 || need+=(groff-base)
  command -v systemd-analyze >/dev/null 2>&1 || need+=(systemd)
  command -v dpkg-shlibdeps >/dev/null 2>&1 || need+=(dpkg-dev)
  command -v file >/dev/null 2>&1 || need+=(file)
  command -v tshark >/dev/null 2>&1 || need+=(tshark)
  command -v ip >/dev/null 2>&1 || need+=(iproute2)
  command -v mke2fs >/dev/null 2>&1 || PATH="$PATH:/sbin:/usr/sbin" command -v mke2fs >/dev/null 2>&1 || need+=(e2fsprogs)
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  # tshark asks whether ordinary users may capture; the answer is no.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
# clang with its libFuzzer runtime for the bounded fuzzing of scripts/test.sh.
# Optional: without it the fuzzing step is skipped, everything else runs.
if [ "${1:-}" = test ] && { ! command -v clang++ >/dev/null 2>&1 ||
    ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; }; then
  echo "Installing: clang libclang-rt-dev"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  { $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq clang libclang-rt-dev >/dev/null; } ||
    echo "clang could not be installed: the fuzzing step will be skipped"
fi
