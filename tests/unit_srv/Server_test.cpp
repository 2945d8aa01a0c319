// Server sessions whose file fails under them: the session module is
// compiled into this file (as in the fuzz target) so that a case can reach a
// session's file and drive the receive handler and the timer directly. A
// served file that can no longer be read and an upload whose writes fail
// each end their own session at once, with a close that carries errChk,
// while the other sessions and new ones go on. Each case runs the server's
// start-up in a child process of its own, in a scratch directory.
#include "../../srv/src/Server.cpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Args.h"
#include "Startup.h"

namespace {
  char scratch[] = "/tmp/wisp-srv-unit-XXXXXX";

  // Ends the child with code (0: every step held), leaving nothing behind.
  [[noreturn]] void End(int code) {
    std::error_code ec;
    std::filesystem::remove_all(scratch, ec);
    _exit(code);
  }

  // A step of the case that did not hold ends the child with its number.
  void Want(bool ok, int step, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "step %d: %s\n", step, what);
    End(step);
  }

  // A client endpoint on loopback that hears the server's answers.
  struct TPeer {
    int s;
    uint16_t port;
    TPeer() {
      s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t l = sizeof a;
      timeval tv{1, 0};
      setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
          getsockname(s, reinterpret_cast<sockaddr*>(&a), &l) != 0)
        _exit(90);
      port = ntohs(a.sin_port);
    }
    // A telegram from this endpoint, straight into the receive handler.
    void Send(const uint8_t* x, uint32_t l) const {
      uint8_t buf[WISP::lenMaxTel];
      std::memcpy(buf, x, l);
      CliIO::TRxInfDesc r{{htonl(INADDR_LOOPBACK), port}};
      Server::OnRx(r, buf, l);
    }
    // The command of the next telegram from the server (0: none within 1 s).
    uint8_t Recv(std::vector<uint8_t>& x) const {
      x.resize(WISP::lenMaxTel);
      const ssize_t n = recv(s, x.data(), x.size(), 0);
      x.resize(n > 0 ? static_cast<size_t>(n) : 0);
      return n >= 11 ? x[WISP::TelHdr::c] : 0;
    }
    // Skips data requests and data replies up to the next close: its result,
    // or 255 when none comes.
    uint8_t CloseResult() const {
      std::vector<uint8_t> x;
      for (int k = 0; k < 64; ++k) {
        const uint8_t c = Recv(x);
        if (c == WISP::cmdClose) return x[WISP::TelClose::e];
        if (c != WISP::cmdDatRq && c != WISP::cmdDatRp) return 255;
      }
      return 255;
    }
  };

  void RdRq(const TPeer& p, const char* name) {
    WISP::TRdRqDesc q{};
    q.f = WISP::lenMaxFgm;
    q.t = 1;
    q.n = 10;
    std::strcpy(q.r, name);
    uint8_t x[WISP::lenMaxTel];
    p.Send(x, WISP::Encode(x, q));
  }

  void Steps(uint32_t n) {
    for (uint32_t k = 0; k < n; ++k) Server::OnTmr(1, 0);
  }

  // The server started in a fresh scratch directory with files a.bin (5000
  // bytes) and b.bin (3000 bytes).
  void StartServer() {
    if (mkdtemp(scratch) == nullptr || chdir(scratch) != 0) _exit(91);
    for (auto [n, l] : {std::pair{"a.bin", 5000}, std::pair{"b.bin", 3000}}) {
      std::ofstream f(n, std::ios::binary);
      for (int k = 0; k < l; ++k) f.put(static_cast<char>(k * 7));
    }
    static char a0[] = "WISPSrv", a1[] = "-a", a2[] = "127.0.0.1", a3[] = "-p", a4[] = "0";
    static char* argv[] = {a0, a1, a2, a3, a4, nullptr};
    Args::SetArgs(5, argv);
    Startup::InitModules(false);
  }

  std::string LogText() {
    std::ifstream i("WISPSrv.log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(i), std::istreambuf_iterator<char>());
  }

  void UnreadableServedFile() {
    StartServer();
    TPeer p1, p2;
    std::vector<uint8_t> x;
    RdRq(p1, "a.bin");
    RdRq(p2, "b.bin");
    Want(p1.Recv(x) == WISP::cmdRdRp && p2.Recv(x) == WISP::cmdRdRp, 1, "two read sessions");
    // The served file's descriptor now refers to a directory: reads fail.
    const int dir = open(".", O_RDONLY | O_DIRECTORY);
    Want(dir >= 0 && dup2(dir, Server::Ses(1).x.s.f->b) >= 0, 2, "descriptor replaced");
    close(dir);
    uint8_t t[WISP::lenMaxTel];
    p1.Send(t, WISP::Encode(t, WISP::TDatRqDesc{{1, 0}, 1}));
    Steps(3);
    Want(p1.CloseResult() == WISP::errChk, 3, "a close with errChk");
    Want(Server::Ses(1).i == 0 && Server::Ses(2).i == 2, 4, "only session 1 ended");
    // The other session still serves, and a new one starts.
    p2.Send(t, WISP::Encode(t, WISP::TDatRqDesc{{2, 0}, 3}));
    Steps(3);
    const uint8_t c1 = p2.Recv(x);
    const size_t l1 = x.size();
    Want(c1 == WISP::cmdDatRp && l1 == 1472 && p2.Recv(x) == WISP::cmdDatRp && x.size() == 1472, 5,
         "the two fragments asked for");
    RdRq(p1, "a.bin");
    Want(p1.Recv(x) == WISP::cmdRdRp && x[WISP::TelRdRp::e] == WISP::errNull, 6, "a new session");
    const std::string log = LogText();
    Want(log.find("Read failed idx 1 rid 'a.bin' err 21") != std::string::npos, 7, "the failure logged");
    Want(log.find("Free idx 1 ok 0 err 3") != std::string::npos, 8, "the release logged");
    End(0);
  }

  void FailedWrite() {
    StartServer();
    TPeer p;
    std::vector<uint8_t> x;
    WISP::TWrRqDesc q{};
    q.f = WISP::lenMaxFgm;
    q.t = 1;
    q.n = 10;
    q.p.l = 20000;   // 14 fragments
    std::strcpy(q.r, "w.bin");
    uint8_t t[WISP::lenMaxTel];
    p.Send(t, WISP::Encode(t, q));
    Want(p.Recv(x) == WISP::cmdWrRp && x[WISP::TelWrRp::e] == WISP::errNull, 1, "a write session");
    // The temporary file's descriptor now is read-only: writes fail.
    const int ro = open("a.bin", O_RDONLY);
    Want(ro >= 0 && dup2(ro, Server::Ses(1).x.r.f->b) >= 0, 2, "descriptor replaced");
    close(ro);
    Steps(1);
    Want(p.Recv(x) == WISP::cmdDatRq, 3, "fragments asked for");
    uint8_t frag[WISP::lenMaxFgm] = {};
    p.Send(t, WISP::EncodeDatRp(t, {1, 0}, frag, sizeof frag));
    Steps(1);
    // Thirteen fragments are missing, yet the upload ends now.
    Want(p.CloseResult() == WISP::errChk, 4, "a close with errChk");
    p.Send(t, WISP::Encode(t, WISP::TCloseDesc{1, WISP::errChk}));
    Want(Server::Ses(1).i == 0, 5, "the session ended");
    Want(access("w.bin", F_OK) != 0, 6, "no file");
    Want(LogText().find("Write failed idx 1 rid 'w.bin' err 9") != std::string::npos, 7, "the failure logged");
    End(0);
  }
}

TEST(ServerFiles, UnreadableServedFileEndsItsSessionOnly) {
  EXPECT_EXIT(UnreadableServedFile(), ::testing::ExitedWithCode(0), "");
}

TEST(ServerFiles, FailedWriteEndsTheUploadAtOnce) {
  EXPECT_EXIT(FailedWrite(), ::testing::ExitedWithCode(0), "");
}
