// FuzzMain.cpp — runs a fuzz target's inputs once each, without libFuzzer:
// the replay of the seed corpus and of the kept findings in every build,
// also where clang is not there. Arguments are files or directories.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  // The targets change into a scratch directory of their own: names given
  // relative to where we were started are made absolute first.
  std::vector<std::filesystem::path> args;
  for (int i = 1; i < argc; ++i) args.push_back(std::filesystem::absolute(argv[i]));
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::filesystem::path> files;
  for (const auto& p : args) {
    if (std::filesystem::is_directory(p)) {
      for (const auto& e : std::filesystem::directory_iterator(p)) {
        if (e.is_regular_file()) files.push_back(e.path());
      }
    } else if (std::filesystem::is_regular_file(p)) {
      files.push_back(p);
    } else {
      std::fprintf(stderr, "no such input: %s\n", p.c_str());
      std::_Exit(1);   // not through exit(): the program's own chain sets the code
    }
  }
  std::sort(files.begin(), files.end());
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    std::vector<uint8_t> d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(d.data(), d.size());
  }
  std::fprintf(stderr, "replayed %zu inputs\n", files.size());
  if (files.empty()) std::_Exit(1);
  return 0;
}
