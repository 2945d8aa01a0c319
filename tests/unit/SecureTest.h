// SecureTest.h — common ground of the secure mode's unit tests: scratch key
// directories, key pairs and their text form written independently of Keys.
#pragma once
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "Keys.h"

namespace SecureTest {

// A new empty directory below the system's temporary directory, removed at
// the end of the test.
class Scratch {
 public:
  Scratch() {
    char t[] = "/tmp/wisp-keys-XXXXXX";
    if (mkdtemp(t) == nullptr) std::abort();
    dir = t;
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string Path(const std::string& n) const { return dir + "/" + n; }
  void Write(const std::string& n, const std::string& text, mode_t mode = 0644) const {
    std::ofstream(Path(n), std::ios::trunc) << text;
    chmod(Path(n).c_str(), mode);
  }
  std::string Read(const std::string& n) const {
    std::ifstream f(Path(n));
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  std::string dir;
};

inline Keys::TPair NewPair() {
  if (sodium_init() < 0) std::abort();
  Keys::TPair p;
  crypto_box_keypair(p.pub, p.prv);
  return p;
}

// Base64 of the 32 bytes, by libsodium directly.
inline std::string Text(const uint8_t* k) {
  char t[Keys::lenKeyTxt + 1];
  sodium_bin2base64(t, sizeof t, k, Keys::lenKey, sodium_base64_VARIANT_ORIGINAL);
  return t;
}

// Keys' error line for its last error.
inline std::string ErrorText() {
  char t[512];
  SO::TBuffer b;
  SO::Init(b, t, sizeof t - 1);
  Keys::WrError(b);
  t[b.l] = '\0';
  return t;
}

}  // namespace SecureTest
