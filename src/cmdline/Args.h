// Args.h — the command-line tokenizer shared by both programs.
//
// The parameters are read one at a time, left to right. A parameter that
// starts with "-" and has more than that one character is an option; so is
// "/" followed by exactly one of the option words below (anything else that
// starts with "/" is an absolute path, an argument). An option's text is kept
// without its leading character. Everything else, a lone "-" or "/" included,
// is an argument. After the last parameter the tokenizer reports the end of
// the arguments.
//
// The state below is written only by Reset and Read; other modules read it.
#pragma once
#include <cstdint>

namespace Args {
  enum TSym : uint8_t { symNull = 0, symArg = 1, symOpt = 2, symEOA = 3 };

  // The option words of both programs: "/" + word is an option only for
  // these. A new option's word is added here.
  constexpr const char* optWords[] = {"h", "?", "a", "p", "u", "f", "d", "o", "v", "r", "c", "n", "g", "s"};

  constexpr uint32_t strSize = 256;
  using TStr = char[strSize];

  extern uint32_t cnt;   // number of parameters, the program path not counted
  extern uint32_t idx;   // index of the current parameter, 0 = program path
  extern TSym sym;       // kind of the current parameter
  extern TStr str;       // its text (an option without its "-" or "/"), 0-terminated,
                         // cut to strSize - 1 characters
  extern uint32_t len;   // length of str

  // The current parameter whole, as the process gave it (an option with its
  // leading character); "" at the end of the arguments.
  const char* Whole();
  // True when t (without its "/") is one of optWords.
  bool IsOptWord(const char* t);

  // Hands the process's parameters to the tokenizer; main calls it before any
  // module starts. The array must outlive the start-up (argv does).
  void SetArgs(int argc, char** argv);
  // Back to the program path: cnt set, idx 0, sym symNull.
  void Reset();
  // Advances to the next parameter, or to the end of the arguments.
  void Read();
  void InitModule();
}
