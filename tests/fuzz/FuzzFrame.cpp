// FuzzFrame.cpp — the fuzz targets' common frame.
#include "FuzzFrame.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Crc.h"
#include "Lib3.h"

namespace FuzzFrame {
  bool inInput = false;

  namespace {
    char scratch[256];

    void RemoveScratch() {
      std::error_code ec;
      if (scratch[0] != '\0') std::filesystem::remove_all(scratch, ec);
    }

    void OnStop() {
      if (inInput) std::abort();
      RemoveScratch();
    }
  }

  void EnterScratchDir(const char* logName) {
    std::snprintf(scratch, sizeof scratch, "%s/wisp-fuzz-XXXXXX",
                  std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp");
    if (::mkdtemp(scratch) == nullptr || ::chdir(scratch) != 0) {
      std::perror("fuzz: scratch directory");
      std::abort();
    }
    if (::symlink("/dev/null", logName) != 0) std::perror("fuzz: log link");
    std::atexit(RemoveScratch);
  }

  void TrapStops() {
    Lib3::AtExit(OnStop);
    Lib3::SetReturnCode(0);
  }

  uint16_t OpenPeer() {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t l = sizeof a;
    int small = 4096;   // answers are never read: keep little of them
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &l) != 0) {
      std::perror("fuzz: peer socket");
      std::abort();
    }
    return ntohs(a.sin_port);
  }

  uint32_t Loopback() {
    uint32_t a = htonl(INADDR_LOOPBACK);
    return a;
  }

  bool TReader::Byte(uint8_t& b) {
    if (n == 0) return false;
    b = *p++;
    --n;
    return true;
  }

  uint16_t TReader::U16() {
    uint8_t a = 0, b = 0;
    Byte(a);
    Byte(b);
    return static_cast<uint16_t>(a | (b << 8));
  }

  void ReadDatagram(TReader& r, uint32_t len, bool fixHdr, bool fixCrc, TDatagram& d) {
    std::memset(d.x, 0, sizeof d.x);
    // The true length may exceed the buffer; only what fits is kept, and an
    // input that ends early ends the datagram there.
    size_t avail = r.n < len ? r.n : len;
    d.l = static_cast<uint32_t>(avail);
    std::memcpy(d.x, r.p, avail < sizeof d.x ? avail : sizeof d.x);
    r.p += avail;
    r.n -= avail;
    if (fixHdr && d.l >= WISP::lenHdr) {
      uint8_t c = d.x[WISP::TelHdr::c];
      WISP::PutHdr(d.x, static_cast<WISP::TCommand>(c));
    }
    if (fixCrc && d.l >= WISP::lenFrmOvr && d.l <= WISP::lenMaxTel) Crc::AppendCrc(d.x, d.l - WISP::lenTrl);
  }
}
