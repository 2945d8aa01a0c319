// ConSigs.cpp — console signals as readable descriptor events.
//
// SIGINT (Ctrl-C), SIGQUIT (Ctrl-\), SIGHUP (terminal closed) and SIGTERM
// (shutdown) are blocked and read from a signalfd, which the event loop waits
// on together with its socket and the keys. The chain thus runs on the main
// thread between two loop steps (or between two blocks of a digest), never
// in the middle of a log line or a table update, and needs no lock. Where
// signalfd is missing, a handler writes the signal's number into a
// non-blocking pipe instead (the self-pipe), read the same way.
//
// The module starts before any thread: a thread inherits the blocked set, so
// no other thread ever takes a console signal from the signalfd. (With the
// self-pipe the handler may run on any thread; it only writes one byte.)
//
// A program whose parent ignored SIGINT and SIGQUIT (a shell starts a
// background job of a script so) leaves those two ignored; SIGHUP and
// SIGTERM always stop it, also under nohup.
#include "ConSigs.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "FIOStd.h"
#include "Lib3.h"

namespace {
  sigset_t sigs;
  int fd = -1;            // the signalfd, or the self-pipe's read end
  bool piped = false;     // fd is the self-pipe
  int pipeWr = -1;

  // The self-pipe's handler: one byte per signal; a full pipe already says
  // that one is pending.
  void OnSignal(int s) {
    const int e = errno;
    const char c = static_cast<char>(s);
    ssize_t k = write(pipeWr, &c, 1);
    (void)k;
    errno = e;
  }

  bool Ignored(int s) {
    struct sigaction a{};
    return sigaction(s, nullptr, &a) == 0 && a.sa_handler == SIG_IGN;
  }

  bool OpenSignalFd() {
    if (sigprocmask(SIG_BLOCK, &sigs, nullptr) != 0) return false;
    // Blocked signals stay pending for the descriptor; the default action
    // makes sure an inherited "ignore" of SIGHUP or SIGTERM cannot drop them.
    std::signal(SIGHUP, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    fd = signalfd(-1, &sigs, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd >= 0) return true;
    sigprocmask(SIG_UNBLOCK, &sigs, nullptr);
    return false;
  }

  bool OpenSelfPipe() {
    int p[2];
    if (pipe2(p, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    fd = p[0];
    pipeWr = p[1];
    piped = true;
    struct sigaction a{};
    a.sa_handler = OnSignal;
    a.sa_flags = SA_RESTART;
    sigfillset(&a.sa_mask);
    const int all[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};
    for (int s : all) {
      if (sigismember(&sigs, s) != 1) continue;
      if (sigaction(s, &a, nullptr) != 0) return false;
    }
    return true;
  }
}

namespace ConSigs {
  void Message(const char* s) {
    char line[256] = "ConSigs: ";
    std::strncat(line, s, sizeof line - std::strlen(line) - 1);
    FIOStd::WrStrLn(FIOStd::chOut, line);
  }

  void InitModule() {
    // A console that went away must not kill the program through SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    sigemptyset(&sigs);
    if (!Ignored(SIGINT)) sigaddset(&sigs, SIGINT);
    if (!Ignored(SIGQUIT)) sigaddset(&sigs, SIGQUIT);
    sigaddset(&sigs, SIGHUP);
    sigaddset(&sigs, SIGTERM);
    if (!OpenSignalFd() && !OpenSelfPipe()) {
      Message("Installation failed.");
      Lib3::Stop();
    }
  }

  int Fd() { return fd; }

  void Check() {
    if (fd < 0) return;
    signalfd_siginfo i;
    ssize_t k;
    do {
      k = piped ? read(fd, &i, 1) : read(fd, &i, sizeof i);
    } while (k < 0 && errno == EINTR);
    if (k <= 0) return;
    Message("Signal received, terminating.");
    Lib3::Stop();
  }
}
