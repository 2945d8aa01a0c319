// Input.cpp — keys from standard input without blocking, and the stack of
// key handlers.
//
// Standard input is one of the descriptors the event loop waits on; a key is
// read only after the wait found one, so a read never blocks. A terminal is
// switched to non-echo, non-line mode while the program is in its foreground
// (and restored on every way out); a pipe or a file is read one byte at a
// time, so scripts and tests can press keys; nothing is read once standard
// input has ended or is closed, nor while the terminal belongs to another
// process group (a program started with & keeps running): the loop then
// leaves standard input out of its wait, which would otherwise report the
// shell's keys over and over, and looks again every fgCheckMs whether the
// terminal came back. A program that ends in the background leaves the
// terminal as it is.
#include "Input.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "Lib3.h"

namespace {
  struct THndsDesc {
    uint32_t n;
    Input::THandler a[Input::hndMax];
  };
  THndsDesc hnds{};

  enum TSrc { srcNone, srcTty, srcStream };
  TSrc src = srcNone;

  bool rawSet = false;
  termios saved{};

  // Sets the terminal's modes, but only while our process group is the
  // terminal's foreground. SIGTTOU is held back in this thread meanwhile: a
  // program moved to the background (Ctrl-Z, bg) between the test and the
  // call would be stopped by it and never end. In the background the shell
  // owns the terminal and has put its own modes back; ours stay untouched.
  bool SetAttr(const termios& t) {
    sigset_t s, old;
    sigemptyset(&s);
    sigaddset(&s, SIGTTOU);
    pthread_sigmask(SIG_BLOCK, &s, &old);
    const bool ok = tcgetpgrp(STDIN_FILENO) == getpgrp() && tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ok;
  }

  void Restore() {
    if (rawSet) {
      SetAttr(saved);
      rawSet = false;
    }
  }

  // Non-echo, non-line mode, set only while in the foreground: changing the
  // terminal from the background would disturb the shell that owns it.
  bool TtyReady() {
    pid_t fg = tcgetpgrp(STDIN_FILENO);
    if (fg < 0) {
      src = srcNone;   // the terminal went away
      return false;
    }
    if (fg != getpgrp()) return false;
    if (!rawSet) {
      if (tcgetattr(STDIN_FILENO, &saved) != 0) {
        src = srcNone;
        return false;
      }
      termios t = saved;
      t.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
      t.c_cc[VMIN] = 1;
      t.c_cc[VTIME] = 0;
      Lib3::AtExit(Restore);
      if (!SetAttr(t)) return false;
      rawSet = true;
    }
    return true;
  }

  // Reads one byte when the wait found one (revents); false when none is.
  bool ReadKey(short revents, char& c) {
    if ((revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) return false;
    if ((revents & POLLNVAL) != 0) {
      src = srcNone;
      return false;
    }
    ssize_t k = read(STDIN_FILENO, &c, 1);
    if (k == 1) return true;
    if (k == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) src = srcNone;
    return false;
  }
}

namespace Input {
  void InitModule() {
    hnds.n = 0;
    struct stat st{};
    if (fstat(STDIN_FILENO, &st) != 0) {
      src = srcNone;
    } else if (isatty(STDIN_FILENO)) {
      src = srcTty;
    } else {
      src = srcStream;
    }
  }

  void Install(THandler h) {
    if (hnds.n >= hndMax) Lib3::FatalError("Input.Install: too many key handlers");
    hnds.a[hnds.n] = h;
    ++hnds.n;
  }

  void Handle(char c) {
    for (uint32_t k = hnds.n; k > 0; --k) hnds.a[k - 1](c);
  }

  int Fd(uint32_t& ms) {
    ms = noLimit;
    if (src == srcNone) return -1;
    if (src == srcTty && !TtyReady()) {
      if (src != srcNone) ms = fgCheckMs;
      return -1;
    }
    return STDIN_FILENO;
  }

  void Trigger(short revents) {
    if (src == srcNone || revents == 0) return;
    if (src == srcTty && !TtyReady()) return;
    char c = 0;
    if (ReadKey(revents, c)) Handle(c);
  }
}
