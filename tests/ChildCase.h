// ChildCase.h — what the in-process tests of the client and the server share:
// each case runs the program's start-up in a child process of its own, in a
// scratch directory, and reports the first step that did not hold as the
// child's exit code.
#pragma once
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "Link.h"

namespace ChildCase {
  // The scratch directory: a mkdtemp pattern until EnterScratch.
  inline char scratch[] = "/tmp/wisp-case-XXXXXX";

  // Creates the scratch directory and makes it the current one.
  inline void EnterScratch() {
    if (mkdtemp(scratch) == nullptr || chdir(scratch) != 0) _exit(91);
  }

  // Ends the child with code (0: every step held), leaving nothing behind.
  [[noreturn]] inline void End(int code) {
    std::error_code ec;
    std::filesystem::remove_all(scratch, ec);
    _exit(code);
  }

  // A step of the case that did not hold ends the child with its number.
  inline void Want(bool ok, int step, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "step %d: %s\n", step, what);
    End(step);
  }

  // Datagrams sent so far, those still queued for the loop's next wait included.
  inline uint32_t Sent() {
    Link::Flush();
    return Link::Cnt().txn;
  }
}
