// Link.cpp — the datagram link's common core on POSIX sockets.
//
// Failures that the network can cause (a datagram too long, an ICMP error
// reported on the next receive, a full send queue, an unreachable peer) are
// counted and the loop goes on: a server must not be stoppable by one
// datagram, and the receiving side asks again for what was lost. Only a
// broken socket or a misuse stops the program.
#include "Link.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "ConSigs.h"
#include "Input.h"
#include "Lib3.h"
#include "Log.h"
#include "SO.h"
#include "Tmr.h"
#include "Tmr0.h"
#include "Tmrs.h"
#include "Utils.h"

// Older C library headers lack the names of the kernel's UDP offload options.
#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif
#ifndef UDP_GRO
#define UDP_GRO 104
#endif

namespace {
  int soc = -1;
  Link::TCntDesc cnt{};
  uint32_t tcs = 0;
  Link::TRx rx = nullptr;
  Lib3::TProc oldTerm = nullptr;
  Log::TModId mid = Log::midNull;
  bool vrb = false;
  bool flt = false;               // the closing line shows rxf
  UDP0::TFam fam = UDP0::famV4;   // the socket's family

  // Datagrams go out and come in in batches, one system call each way
  // (sendmmsg, recvmmsg) instead of one per datagram: at 255 fragments per
  // millisecond that is the difference between keeping up and not. Sends
  // are queued in order and leave at the latest before the loop waits, so
  // what a handler sends goes out in the same pass as before.
  //
  // Where the kernel has UDP segmentation offload, a run of queued datagrams
  // of one length for one peer leaves as one message that the kernel cuts
  // into those datagrams (UDP_SEGMENT): the network sees the same datagrams,
  // the stack is passed once per run. A receiving socket asks for the
  // reverse (UDP_GRO): such runs arrive whole and are cut here, each piece
  // handed on as the datagram it is.
  constexpr uint32_t txMax = 256;       // queued sends
  constexpr uint32_t rxMax = 64;        // messages per receive call
  constexpr uint32_t lenRx = 65536;     // receive buffer per message (a whole run)
  constexpr uint32_t segMax = 64;       // datagrams per run (the kernel's limit)
  struct TTxDesc {
    uint8_t x[txMax][Link::lenBuf];
    Utils::TSockAdr a[txMax];
    socklen_t al[txMax];
    iovec v[txMax];
    mmsghdr m[txMax];                   // one per run
    uint32_t g[txMax];                  // datagrams per run
    alignas(cmsghdr) uint8_t c[txMax][CMSG_SPACE(sizeof(uint16_t))];
    UDP0::TFam f[txMax];                // the peer's family (an IPv4 peer of an
                                        // IPv6 socket takes IPv4's sizes)
    uint32_t n;                         // queued
  };
  struct TRxDesc {
    uint8_t x[rxMax][lenRx];
    Utils::TSockAdr a[rxMax];
    iovec v[rxMax];
    mmsghdr m[rxMax];
    alignas(cmsghdr) uint8_t c[rxMax][CMSG_SPACE(sizeof(int))];
  };
  TTxDesc tx{};
  TRxDesc rxb{};
  bool mmsg = true;                // false once the kernel lacks sendmmsg/recvmmsg
  bool runs = false;               // Runs(true): runs go out and come in whole
  bool gro = false;                // the socket takes runs whole (UDP_GRO)
  bool groOff = false;             // runs are off, UDP_GRO is to follow (GroOff)

  // Peers a run could not be sent to (the kernel refused it: a path whose
  // MTU is below the datagrams, no offload on the way): their datagrams go
  // one by one while runs stay on, the other peers' still in runs. Forgotten
  // when runs go off, so a later fast transfer tries again.
  constexpr uint32_t refMax = 16;
  struct TRefDesc {
    Utils::TSockAdr a[refMax];
    socklen_t al[refMax];
    uint32_t n;                    // entries in use
    uint32_t w;                    // the next to replace once all are in use
  };
  TRefDesc refd{};

  bool Refused(const Utils::TSockAdr& a, socklen_t al) {
    for (uint32_t k = 0; k < refd.n; ++k) {
      if (refd.al[k] == al && std::memcmp(&refd.a[k], &a, al) == 0) return true;
    }
    return false;
  }

  void Refuse(const Utils::TSockAdr& a, socklen_t al) {
    if (Refused(a, al)) return;
    uint32_t k = refd.n;
    if (k < refMax) {
      ++refd.n;
    } else {
      k = refd.w;
      refd.w = (refd.w + 1) % refMax;
    }
    refd.a[k] = a;
    refd.al[k] = al;
  }

  void FlushQueue();

  // The socket takes runs whole (on) or has the kernel cut them.
  bool SetGro(bool on) {
    const int v = on ? 1 : 0;
    return ::setsockopt(soc, SOL_UDP, UDP_GRO, &v, sizeof v) == 0;
  }

  void DoneModule() {
    FlushQueue();   // what the chain's earlier steps sent (a client's last close)
    char t[128];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, "DoneModule txn ");
    SO::WrLngCard(b, cnt.txn, 1);
    SO::WrStr(b, " txe ");
    SO::WrLngCard(b, cnt.txe, 1);
    SO::WrStr(b, " rxn ");
    SO::WrLngCard(b, cnt.rxn, 1);
    SO::WrStr(b, " rxe ");
    SO::WrLngCard(b, cnt.rxe, 1);
    if (flt) {
      SO::WrStr(b, " rxf ");
      SO::WrLngCard(b, cnt.rxf, 1);
    }
    Link::Message(t);
    oldTerm();
  }

  // "<what><errno>" as a fatal stop.
  [[noreturn]] void FatalErr(const char* what, int err) {
    char t[64];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, what);
    SO::WrLngInt(b, err, 1);
    Link::Fatal(t);
  }

  void Show(const char* name, uint32_t v) {
    char t[64];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, "AdjSock ");
    SO::WrStr(b, name);
    SO::WrChar(b, ' ');
    SO::WrLngCard(b, v, 1);
    Link::Message(t);
  }

  int NewSock() {
    int s = ::socket(fam == UDP0::famV6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (s < 0) FatalErr("NewSock socket() failed, err ", errno);
    return s;
  }

  void AdjSock_SetNonBlock(int s) {
    int fl = ::fcntl(s, F_GETFL);
    if (fl < 0 || ::fcntl(s, F_SETFL, fl | O_NONBLOCK) != 0) FatalErr("SetNonBlock ioctlsocket() failed, err ", errno);
    Show("SetNonBlock", 1);
  }

  // Reads a 4-byte socket option and shows it under name.
  uint32_t AdjSock_Get(int s, int opt, const char* name, int lvl = SOL_SOCKET) {
    int v = 0;
    socklen_t l = sizeof v;
    char t[64];
    SO::TBuffer b;
    SO::Init(b, t);
    if (::getsockopt(s, lvl, opt, &v, &l) != 0) {
      SO::WrStr(b, name);
      SO::WrStr(b, " getsockopt() failed, err ");
      SO::WrLngInt(b, errno, 1);
      Link::Fatal(t);
    }
    if (l != 4) {
      SO::WrStr(b, name);
      SO::WrStr(b, " getsockopt() returned invalid par len ");
      SO::WrLngCard(b, static_cast<uint32_t>(l), 1);
      Link::Fatal(t);
    }
    Show(name, static_cast<uint32_t>(v));
    return static_cast<uint32_t>(v);
  }

  void AdjSock_Set(int s, int opt, const char* name, uint32_t v, int lvl = SOL_SOCKET, int force = -1) {
    int x = static_cast<int>(v);
    // A privileged program may pass the system's limit (net.core.rmem_max,
    // wmem_max; often 208 KiB): at 255 fragments a millisecond a socket that
    // holds less than a window overflows whenever the process waits for a
    // CPU. Without the privilege the limit applies.
    if (force >= 0 && ::setsockopt(s, lvl, force, &x, sizeof x) == 0) {
      Show(name, v);
      return;
    }
    if (::setsockopt(s, lvl, opt, &x, sizeof x) != 0) {
      char t[64];
      SO::TBuffer b;
      SO::Init(b, t);
      SO::WrStr(b, name);
      SO::WrStr(b, " setsockopt() failed, err ");
      SO::WrLngInt(b, errno, 1);
      Link::Fatal(t);
    }
    Show(name, v);
  }

  // An IPv6 socket: never fragment locally, so a datagram too large for the
  // path fails at sendto (EMSGSIZE, counted in txe) instead of leaving as
  // fragments that one lost piece would cost whole. Bound to "::" it serves
  // IPv4 peers as well, whatever the system's default for new sockets.
  void AdjSock_V6(int s, const UDP0::TAdrDesc& la) {
    AdjSock_Set(s, IPV6_DONTFRAG, "SetDontFrag", 1, IPPROTO_IPV6);
    AdjSock_Get(s, IPV6_DONTFRAG, "DontFrag", IPPROTO_IPV6);
    if (la == UDP0::Any(UDP0::famV6)) {
      AdjSock_Set(s, IPV6_V6ONLY, "SetV6Only", 0, IPPROTO_IPV6);
      AdjSock_Get(s, IPV6_V6ONLY, "V6Only", IPPROTO_IPV6);
    }
  }

  void AdjSock(int s, const UDP0::TAdrDesc& la) {
    AdjSock_SetNonBlock(s);
    if (AdjSock_Get(s, SO_RCVBUF, "RcvLen") < Link::lenSockBuf) {
      AdjSock_Set(s, SO_RCVBUF, "SetRcvLen", Link::lenSockBuf, SOL_SOCKET, SO_RCVBUFFORCE);
      AdjSock_Get(s, SO_RCVBUF, "RcvLen");
    }
    if (AdjSock_Get(s, SO_SNDBUF, "SndLen") < Link::lenSockBuf) {
      AdjSock_Set(s, SO_SNDBUF, "SetSndLen", Link::lenSockBuf, SOL_SOCKET, SO_SNDBUFFORCE);
      AdjSock_Get(s, SO_SNDBUF, "SndLen");
    }
    if (fam == UDP0::famV6) AdjSock_V6(s, la);
    // Linux has no maximum-message-size option: the largest UDP payload.
    Show("MsgLen", fam == UDP0::famV6 ? Link::lenMsgMax6 : Link::lenMsgMax);
  }

  void BindSock(int s, const UDP0::TAdrDesc& la, uint16_t lp) {
    Utils::TSockAdr x;
    const UDP0::TDstDesc d{la, lp};
    socklen_t l = Utils::MkSockAdr(x, d, fam);
    if (::bind(s, &x.sa, l) != 0) {
      int err = errno;
      char t[128];
      SO::TBuffer b;
      SO::Init(b, t);
      SO::WrStr(b, "BindSock bind() for ");
      Utils::WrDst(b, d);
      SO::WrStr(b, " failed, err ");
      SO::WrLngInt(b, err, 1);
      Link::Fatal(t);
    }
  }

  void GetSockAdr(int s, UDP0::TDstDesc& d) {
    Utils::TSockAdr x{};
    socklen_t l = sizeof x;
    if (::getsockname(s, &x.sa, &l) != 0) FatalErr("GetSockAdr getsockname() failed, err ", errno);
    if (x.sa.sa_family != (fam == UDP0::famV6 ? AF_INET6 : AF_INET)) {
      Link::Fatal("GetSockAdr getsockname() returned invalid family value");
    }
    if (l < 8 || !Utils::RdSockAdr(x, l, d)) Link::Fatal("GetSockAdr getsockname() returned short address record");
  }

  // A send error the network or the moment can cause: the datagram is dropped.
  bool SendTransient(int err) {
    switch (err) {
      case EAGAIN:
#if EWOULDBLOCK != EAGAIN
      case EWOULDBLOCK:
#endif
      case ENOBUFS: case ENOMEM: case EINTR:
      case ECONNREFUSED: case EHOSTUNREACH: case ENETUNREACH: case EHOSTDOWN: case ENETDOWN:
      case EPERM: case EACCES: case EINVAL: case EADDRNOTAVAIL: case EAFNOSUPPORT: case EMSGSIZE:
        return true;
      default:
        return false;
    }
  }

  // A receive error the network or the moment can cause: counted in rxe.
  bool RecvTransient(int err) {
    switch (err) {
      case EAGAIN:
#if EWOULDBLOCK != EAGAIN
      case EWOULDBLOCK:
#endif
      case EINTR: case ENOBUFS: case ENOMEM: case ECONNREFUSED: case EHOSTUNREACH:
      case ENETUNREACH: case EHOSTDOWN: case ENETDOWN: case ETIMEDOUT: case ECONNRESET:
        return true;
      default:
        return false;
    }
  }

  [[noreturn]] void ShortSend(int32_t r, uint32_t l) {
    char t[64];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, "WrSock sendto() failed, ");
    SO::WrLngInt(b, r, 1);
    SO::WrStr(b, " of ");
    SO::WrLngCard(b, l, 1);
    SO::WrStr(b, " bytes written");
    Link::Fatal(t);
  }

  // True when a datagram was sent; false when it was dropped.
  bool WrSockAdr(int s, const Utils::TSockAdr& a, socklen_t al, const uint8_t* x, uint32_t l) {
    ssize_t r = ::sendto(s, x, l, MSG_NOSIGNAL, &a.sa, al);
    if (r < 0) {
      int err = errno;
      if (SendTransient(err)) return false;
      FatalErr("WrSock sendto() failed, err ", err);
    }
    if (static_cast<size_t>(r) != l) ShortSend(static_cast<int32_t>(r), l);
    return true;
  }

  // Receives one datagram; false when the receive failed transiently or the
  // source is of no family the link knows.
  // l is the datagram's true length (MSG_TRUNC), also when it exceeds x.
  bool RdSock(int s, UDP0::TDstDesc& d, uint8_t* x, uint32_t n, uint32_t& l) {
    Utils::TSockAdr a{};
    socklen_t al = sizeof a;
    ssize_t r = ::recvfrom(s, x, n, MSG_TRUNC, &a.sa, &al);
    if (r < 0) {
      int err = errno;
      if (RecvTransient(err)) return false;
      FatalErr("RdSock recvfrom() failed, err ", err);
    }
    if (al < 8) {
      char t[64];
      SO::TBuffer b;
      SO::Init(b, t);
      SO::WrStr(b, "RdSock recvfrom() failed, al ");
      SO::WrLngCard(b, static_cast<uint32_t>(al), 1);
      SO::WrStr(b, " < 8");
      Link::Fatal(t);
    }
    l = static_cast<uint32_t>(r);
    return Utils::RdSockAdr(a, al, d);
  }

  void Deliver(const UDP0::TDstDesc& d, const uint8_t* x, uint32_t l) {
    if (rx == nullptr) {
      Link::IncCnt(cnt.rxe);
      return;
    }
    rx(d, x, l);
  }

  void ReceiveOne() {
    uint32_t l = 0;
    UDP0::TDstDesc d{};
    if (!RdSock(soc, d, rxb.x[0], lenRx, l)) {
      Link::IncCnt(cnt.rxe);
      return;
    }
    Deliver(d, rxb.x[0], l);
  }

  // The datagram size of a run that arrived whole (UDP_GRO); 0 for a single
  // datagram.
  uint32_t RunSeg(const msghdr& h) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(const_cast<msghdr*>(&h), c)) {
      if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
        int v;
        std::memcpy(&v, CMSG_DATA(c), sizeof v);
        return v > 0 ? static_cast<uint32_t>(v) : 0;
      }
    }
    return 0;
  }

  // Everything that is waiting, up to rxMax messages, in one call; each
  // datagram (a run cut into its datagrams) goes to the handler with its
  // true length (MSG_TRUNC), as one by one.
  void Receive() {
    if (!mmsg) return ReceiveOne();
    for (uint32_t k = 0; k < rxMax; ++k) {
      rxb.v[k] = iovec{rxb.x[k], lenRx};
      rxb.m[k] = mmsghdr{};
      rxb.m[k].msg_hdr.msg_name = &rxb.a[k];
      rxb.m[k].msg_hdr.msg_namelen = sizeof rxb.a[k];
      rxb.m[k].msg_hdr.msg_iov = &rxb.v[k];
      rxb.m[k].msg_hdr.msg_iovlen = 1;
      rxb.m[k].msg_hdr.msg_control = rxb.c[k];
      rxb.m[k].msg_hdr.msg_controllen = sizeof rxb.c[k];
    }
    const int r = ::recvmmsg(soc, rxb.m, rxMax, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (r < 0) {
      const int err = errno;
      if (err == ENOSYS) {
        // One by one there is no word on runs: the socket must not make them.
        Link::Runs(false);
        if (gro && SetGro(false)) gro = false;
        groOff = false;
        mmsg = false;
        return ReceiveOne();
      }
      if (RecvTransient(err)) {
        Link::IncCnt(cnt.rxe);
        return;
      }
      FatalErr("RdSock recvmmsg() failed, err ", err);
    }
    for (int k = 0; k < r; ++k) {
      const msghdr& h = rxb.m[k].msg_hdr;
      UDP0::TDstDesc d{};
      if (h.msg_namelen < 8 || !Utils::RdSockAdr(rxb.a[k], h.msg_namelen, d)) {
        Link::IncCnt(cnt.rxe);
        continue;
      }
      const uint32_t l = rxb.m[k].msg_len;
      const uint32_t g = RunSeg(h);
      if (g == 0 || g >= l || l > lenRx) {
        Deliver(d, rxb.x[k], l);
        continue;
      }
      for (uint32_t at = 0; at < l; at += g) Deliver(d, rxb.x[k] + at, l - at < g ? l - at : g);
    }
  }

  // Datagrams k .. k + g - 1 as one message: the first's peer, the run's
  // datagrams as its pieces and, for more than one, their size to cut at.
  void Run(mmsghdr& m, uint8_t (&c)[CMSG_SPACE(sizeof(uint16_t))], uint32_t k, uint32_t g) {
    m = mmsghdr{};
    m.msg_hdr.msg_name = &tx.a[k];
    m.msg_hdr.msg_namelen = tx.al[k];
    m.msg_hdr.msg_iov = &tx.v[k];
    m.msg_hdr.msg_iovlen = g;
    if (g < 2) return;
    std::memset(c, 0, sizeof c);
    m.msg_hdr.msg_control = c;
    m.msg_hdr.msg_controllen = sizeof c;
    cmsghdr* h = CMSG_FIRSTHDR(&m.msg_hdr);
    h->cmsg_level = SOL_UDP;
    h->cmsg_type = UDP_SEGMENT;
    h->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    const uint16_t z = static_cast<uint16_t>(tx.v[k].iov_len);
    std::memcpy(CMSG_DATA(h), &z, sizeof z);
  }

  // How many of the queued datagrams from k on go as one run: the same
  // peer, the same length (the last may be shorter), at most segMax of them
  // and no more bytes than a datagram may have.
  // The bytes a datagram may have are the peer's family's: an IPv4 peer of
  // a dual-stack socket has the 20 bytes more of IPv4's header against it.
  uint32_t RunLen(uint32_t k) {
    if (!runs || Refused(tx.a[k], tx.al[k])) return 1;
    const uint32_t z = static_cast<uint32_t>(tx.v[k].iov_len);
    const uint32_t most = (tx.f[k] == UDP0::famV6 ? Link::lenMsgMax6 : Link::lenMsgMax) / z;
    const uint32_t lim = most < segMax ? most : segMax;
    uint32_t g = 1;
    while (k + g < tx.n && g < lim && tx.v[k + g].iov_len <= z && tx.al[k + g] == tx.al[k] &&
           std::memcmp(&tx.a[k + g], &tx.a[k], tx.al[k]) == 0) {
      const bool last = tx.v[k + g].iov_len < z;
      ++g;
      if (last) break;
    }
    return g;
  }

  // Sends the queued datagrams in order. A datagram the network refuses is
  // dropped and counted in txe; the rest still go. A run the kernel cannot
  // send as one goes again datagram by datagram, and so does everything
  // for that peer while runs are on (Refuse).
  void FlushQueue() {
    uint32_t k = 0;
    while (k < tx.n) {
      if (!mmsg) {
        if (WrSockAdr(soc, tx.a[k], tx.al[k], tx.x[k], static_cast<uint32_t>(tx.v[k].iov_len))) {
          Link::IncCnt(cnt.txn);
        } else {
          Link::IncCnt(cnt.txe);
        }
        ++k;
        continue;
      }
      uint32_t nm = 0;
      for (uint32_t j = k; j < tx.n; ++nm) {
        tx.g[nm] = RunLen(j);
        Run(tx.m[nm], tx.c[nm], j, tx.g[nm]);
        j += tx.g[nm];
      }
      const int r = ::sendmmsg(soc, tx.m, nm, MSG_NOSIGNAL);
      if (r < 0) {
        const int err = errno;
        if (err == ENOSYS) {
          mmsg = false;
          continue;
        }
        if (tx.g[0] > 1 && err != EAGAIN && err != EWOULDBLOCK && err != ENOBUFS && err != EINTR) {
          Refuse(tx.a[k], tx.al[k]);   // no runs to this peer: the same datagrams one by one
          continue;
        }
        if (!SendTransient(err)) FatalErr("WrSock sendmmsg() failed, err ", err);
        for (uint32_t j = 0; j < tx.g[0]; ++j) Link::IncCnt(cnt.txe);   // the first of the rest could not go
        k += tx.g[0];
        continue;
      }
      for (int j = 0; j < r; ++j) {
        uint32_t l = 0;
        for (uint32_t i = 0; i < tx.g[j]; ++i) l += static_cast<uint32_t>(tx.v[k + i].iov_len);
        if (tx.m[j].msg_len != l) ShortSend(static_cast<int32_t>(tx.m[j].msg_len), l);
        for (uint32_t i = 0; i < tx.g[j]; ++i) Link::IncCnt(cnt.txn);
        k += tx.g[j];
      }
    }
    tx.n = 0;
  }

  // Without runs the socket must not merge datagrams (so that a capture on
  // this host sees each one). But a run that arrived whole while it did
  // tells its datagram size only when it is read with UDP_GRO still on: put
  // off with such a run waiting, the socket would hand over a run that
  // cannot be cut, and its datagrams would be lost. So UDP_GRO goes off,
  // then a look at the queue: empty, nothing merged can be waiting (what
  // comes from now on the kernel cuts itself); otherwise it goes on again
  // and the next pass tries anew. A socket that cannot stop merging (it
  // never could merge then) hands over what is still cut right.
  void GroOff() {
    if (!groOff) return;
    if (!SetGro(false)) {
      groOff = false;
      return;
    }
    uint8_t b;
    if (::recv(soc, &b, 0, MSG_PEEK | MSG_DONTWAIT) < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      gro = false;
      groOff = false;
      return;
    }
    SetGro(true);
  }

  // The timers, advanced by the milliseconds since the previous pass.
  void TriggerTimers() {
    uint32_t now = Tmr::Ticks();
    Tmrs::Trigger(Tmr0::Diff(tcs, now));
    tcs = now;
  }

  // The wait of one pass: up to the start of the millisecond in which the
  // nearest timer expires (next, from Tmrs::Next), and at most keyMs (from
  // Input::Fd). nullptr: no limit, the loop sleeps until a descriptor is
  // ready.
  const timespec* WaitTime(uint32_t next, uint32_t keyMs, timespec& ts) {
    if (next == Tmrs::none && keyMs == Input::noLimit) return nullptr;
    uint64_t ns = UINT64_MAX;
    if (next != Tmrs::none) ns = Tmr::NsTo(Tmr0::Add(tcs, next));
    if (keyMs != Input::noLimit && uint64_t(keyMs) * 1000000u < ns) ns = uint64_t(keyMs) * 1000000u;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000u);
    ts.tv_nsec = static_cast<long>(ns % 1000000000u);
    return &ts;
  }
}

namespace Link {
  void Message(const char* s) { Log::Write(mid, Log::lvlMsg, s, vrb); }

  void Fatal(const char* s) {
    Log::Write(mid, Log::lvlFat, s, true);
    Lib3::Stop();
  }

  void IncCnt(uint32_t& c) { c = (c == 0xFFFFFFFFu) ? 0 : c + 1; }

  TCntDesc& Cnt() { return cnt; }

  void InitModule(const TSettings& s) {
    mid = s.mid;
    vrb = s.vrb;
    flt = s.flt;
    Log::Register(mid, s.name);
    rx = s.rx;
    soc = -1;
    cnt = TCntDesc{};
    tcs = Tmr::Ticks();
    Lib3::Terminate(DoneModule, oldTerm);
    fam = s.la.f;
    soc = NewSock();
    AdjSock(soc, s.la);
    BindSock(soc, s.la, s.lp);
    UDP0::TDstDesc d{};
    GetSockAdr(soc, d);
    char t[128];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, s.startLine);
    Utils::WrDst(b, d);
    Message(t);
  }

  void Flush() { FlushQueue(); }

  void Runs(bool on) {
    if (on == runs || soc < 0) return;
    if (!on) {
      // Sends go one by one at once; the socket stops merging once no run
      // can be waiting in it (GroOff, before the loop waits).
      runs = false;
      refd = TRefDesc{};
      groOff = gro;
      return;
    }
    groOff = false;
    if (!gro && !SetGro(true)) return;
    gro = true;
    runs = true;
  }

  void Send(const UDP0::TDstDesc& d, const uint8_t* x, size_t n, uint32_t l) {
    if (l > n || l > lenBuf) Fatal("Send Bad length");
    const uint32_t k = tx.n;
    std::memcpy(tx.x[k], x, l);
    tx.v[k] = iovec{tx.x[k], l};
    tx.al[k] = Utils::MkSockAdr(tx.a[k], d, fam);
    tx.f[k] = d.a.f;
    tx.n = k + 1;
    if (tx.n == txMax) FlushQueue();
  }

  void Execute() {
    short keys = 0;   // what the previous wait found on standard input
    for (;;) {
      Input::Trigger(keys);
      TriggerTimers();

      pollfd p[3];
      nfds_t n = 0;
      p[n++] = pollfd{soc, POLLIN, 0};
      const int sfd = ConSigs::Fd();
      const nfds_t si = n;
      if (sfd >= 0) p[n++] = pollfd{sfd, POLLIN, 0};
      uint32_t keyMs = Input::noLimit;
      const int kfd = Input::Fd(keyMs);
      const nfds_t ki = n;
      if (kfd >= 0) p[n++] = pollfd{kfd, POLLIN, 0};
      FlushQueue();
      GroOff();
      const uint32_t next = Tmrs::Next();
      timespec ts{};
      int r = ::ppoll(p, n, WaitTime(next, keyMs, ts), nullptr);
      int err = errno;
      // With no timer running nothing needed the time slept: the timers'
      // clock starts again now, so a timer started by this pass's datagram
      // or key counts from here and not from before the sleep.
      if (next == Tmrs::none) tcs = Tmr::Ticks();
      keys = 0;
      if (r < 0) {
        if (err == EINTR) continue;
        FatalErr("Execute select() failed, err ", err);
      }
      if (r == 0) continue;
      // A console signal goes first: the program stops between two steps.
      if (sfd >= 0 && p[si].revents != 0) ConSigs::Check();
      if (kfd >= 0) keys = p[ki].revents;
      if ((p[0].revents & (POLLIN | POLLERR)) != 0) {
        Receive();
      } else if (p[0].revents != 0) {
        char t[64];
        SO::TBuffer b;
        SO::Init(b, t);
        SO::WrStr(b, "Execute select() returned socket events ");
        SO::WrLngHex(b, static_cast<uint16_t>(p[0].revents), 1);
        Fatal(t);
      }
    }
  }
}
