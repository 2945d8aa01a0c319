// ConfigLib.h — what both programs' Config modules share: reading option
// values from the command line, the error and its hint line, and the lines
// of the configuration print-out.
#pragma once
#include <cstddef>
#include <cstdint>

#include "Log.h"
#include "SO.h"
#include "UDP0.h"

namespace ConfigLib {
  struct TSettings {
    const char* prg = "WISP";        // program name in the error hint
    Log::TModId mid = Log::midNull;  // the program's Config module in the log
  };
  void InitModule(const TSettings& s);
  // Print-out lines go to the console too once the command line asked for it.
  void SetVerbose(bool v);

  // Texts are built in 128 characters; the extra element keeps a full
  // buffer terminated for the callers that take a plain C string.
  constexpr uint32_t lineMax = 128;
  using TLine = char[lineMax + 1];
  void InitLine(SO::TBuffer& b, TLine& s);

  // Copies t into the fixed array d of n characters, always terminated.
  void SetStr(char* d, size_t n, const char* t);
  // The working directory, cut to n - 1 characters; empty when the system
  // cannot tell it.
  void InitDir(char* d, size_t n);

  // Unsigned decimal: a non-empty run of digits whose value fits 32 bits,
  // with an optional leading "+" where plus is set.
  bool StrToCard(const char* s, uint32_t& x, bool plus);

  // "Error: <t>", the current parameter in quotes when there is one, a line
  // end and "Try '<program> -h' for help.", as a fatal stop (exit code 255).
  [[noreturn]] void Error(const char* t);
  // True when the current option is t.
  bool Is(const char* t);
  // Reads the next parameter as an address of either family (Utils::MkIP);
  // "Invalid IP address" otherwise.
  void GetAddress(UDP0::TAdrDesc& x);
  // As GetAddress, and a host name too: it is resolved at once and x is the
  // first of its addresses that a UDP socket of this host can reach; the
  // name is copied into n (m characters), which is left empty for an
  // address. A name that does not resolve stops with "Unknown host name",
  // one none of whose addresses can be reached with "Unreachable host name".
  void GetHost(UDP0::TAdrDesc& x, char* n, size_t m);
  // Reads the next parameter as a number in lo..hi: not an argument or not a
  // number stops with eNum, a number outside the range with eRng.
  uint32_t GetCard(const char* eNum, const char* eRng, uint32_t lo, uint32_t hi, bool plus);
  // Reads the next parameter as a path into d (n characters): not an
  // argument, empty, or too long for d stops with e.
  void GetPath(char* d, size_t n, const char* e);

  // Reads the next parameter as a network of clients (Utils::MkNet): not an
  // argument or no network stops with "Invalid network", a prefix length
  // beyond the address's bits with "Prefix length out of range".
  void GetNet(UDP0::TNetDesc& x);

  // Print-out lines "  <n> <value>" to the log, on the console with -v.
  void ShowOut(const char* s);
  void ShowStr(const char* n, const char* v, size_t m);
  void ShowCard(const char* n, uint32_t v);
  void ShowIP(const char* n, const UDP0::TAdrDesc& x);
  void ShowNet(const char* n, const UDP0::TNetDesc& x);
}
