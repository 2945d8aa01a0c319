#!/usr/bin/env bash
# The cost per byte of the two checks every transfer makes: the CRC-32
# trailer of each telegram and the MD5 digest of the whole file, as this
# tree's engine library (build/libwisp.a) computes them, over 256 MiB in
# 1 MiB pieces; md5sum over the same bytes beside them for scale.
#
#   bash bench/checksums.sh [build directory, build]
#
# Not a test: it prints figures.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
[ -f "$build/libwisp.a" ] || { echo "no libwisp.a in $build"; exit 1; }
work=$(mktemp -d /tmp/wisp-sums-XXXXXX)
trap 'rm -rf "$work"' EXIT
cat >"$work/sums.cpp" <<'CPP'
#include <chrono>
#include <cstdio>
#include <vector>
#include "Crc.h"
#include "MD5.h"
int main() {
  std::vector<uint8_t> v(1 << 20);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 131 + 7);
  constexpr int rounds = 256;
  using clk = std::chrono::steady_clock;
  const auto t0 = clk::now();
  uint32_t c = 0;
  for (int r = 0; r < rounds; ++r) c ^= Crc::UpdL(Crc::init, v.data(), v.size());
  const auto t1 = clk::now();
  MD5::TCtxDesc x;
  MD5::Init(x);
  for (int r = 0; r < rounds; ++r) MD5::Update(x, v.data(), static_cast<uint32_t>(v.size()));
  MD5::TDgstDesc d;
  MD5::Final(x, d);
  const auto t2 = clk::now();
  const double n = double(rounds) * v.size();
  std::printf("CRC-32 %.3f ns/B, MD5 %.3f ns/B (check %08x %02x)\n",
              std::chrono::duration<double, std::nano>(t1 - t0).count() / n,
              std::chrono::duration<double, std::nano>(t2 - t1).count() / n, c, d[0]);
}
CPP
g++ -O2 -std=c++20 -Isrc/wire -Isrc/engine -Isrc/frame -Isrc/text "$work/sums.cpp" "$build/libwisp.a" \
  -o "$work/sums" -lpthread
echo "load before: $(uptime)"
"$work/sums"
head -c $((256 << 20)) /dev/urandom >"$work/f.bin"
s=$(date +%s.%N)
md5sum "$work/f.bin" >/dev/null
e=$(date +%s.%N)
awk -v s="$s" -v e="$e" 'BEGIN { printf "md5sum %.3f ns/B\n", (e - s) * 1e9 / (256 * 1048576) }'
