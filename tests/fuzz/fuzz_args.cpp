// fuzz_args.cpp — libFuzzer target: the command-line tokenizer.
//
// The input is cut at its zero bytes into parameters (the first is the
// program path). The tokenizer must report each in turn as the model below
// says: an option when it starts with "-" and has more characters, or with
// "/" and the rest is one of the option words, its text without that first
// character; an argument otherwise; text cut at 255 characters, the whole
// parameter uncut; then the end of the arguments, for ever.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Args.h"

namespace {
  void Check(bool ok, const char* what) {
    if (!ok) {
      std::fprintf(stderr, "fuzz_args: %s\n", what);
      std::abort();
    }
  }

  void Expect(const std::string& text, Args::TSym sym) {
    std::string want = text.substr(0, Args::strSize - 1);
    Check(Args::sym == sym, "kind of parameter");
    Check(Args::len == want.size(), "length");
    Check(std::strlen(Args::str) == Args::len, "text ends at its length");
    Check(want == Args::str, "text");
  }

  bool OptWord(const std::string& t) {
    for (const char* w : Args::optWords)
      if (t == w) return true;
    return false;
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> params;
  std::string cur;
  for (size_t k = 0; k < size; ++k) {
    if (data[k] == 0) {
      params.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(static_cast<char>(data[k]));
    }
  }
  params.push_back(cur);
  std::vector<char*> argv;
  for (auto& p : params) argv.push_back(p.data());
  argv.push_back(nullptr);
  Args::SetArgs(static_cast<int>(params.size()), argv.data());

  Args::Reset();
  Check(Args::cnt == params.size() - 1 && Args::idx == 0, "count after Reset");
  Expect(params[0], Args::symNull);
  for (size_t i = 1; i < params.size(); ++i) {
    Args::Read();
    Check(Args::idx == i, "index");
    const std::string& p = params[i];
    if (p.size() > 1 && (p[0] == '-' || (p[0] == '/' && OptWord(p.substr(1))))) {
      Expect(p.substr(1), Args::symOpt);
    } else {
      Expect(p, Args::symArg);
    }
    Check(p == Args::Whole(), "whole parameter");
  }
  for (int k = 0; k < 3; ++k) {
    Args::Read();
    Expect("", Args::symEOA);
  }
  Args::SetArgs(0, nullptr);
  return 0;
}
