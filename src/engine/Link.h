// Link.h — the datagram link's common core: one non-blocking UDP socket, the
// program's only event loop, sending, receiving and the traffic counters.
// The loop waits in one ppoll on the socket, the console's signals and its
// keys, until the nearest timer expires; with no timer running it sleeps
// until one of them has something.
// The client's SrvIO and the server's CliIO are thin modules over it that
// differ in binding, filtering and the form of their receive handler.
#pragma once
#include <cstddef>
#include <cstdint>

#include "Log.h"
#include "UDP0.h"

namespace Link {
  constexpr uint32_t lenBuf = 1472;        // largest datagram sent or handed on whole
  constexpr uint32_t lenSockBuf = 16777216; // least socket buffer sizes: a window at -f 255
  constexpr uint32_t lenMsgMax = 65507;    // largest UDP payload over IPv4
  constexpr uint32_t lenMsgMax6 = 65527;   // over IPv6 (no jumbograms)

  struct TCntDesc {
    uint32_t txn;   // datagrams sent
    uint32_t txe;   // datagrams that could not be sent and were dropped
    uint32_t rxn;   // datagrams handed to the receive handler
    uint32_t rxe;   // datagrams received and dropped, failed receives
    uint32_t rxf;   // datagrams from a source the program does not serve
                    // (the server's -n), dropped; in the closing line only
                    // where the program filters (TSettings' flt)
  };

  // Called for every datagram that arrives (each piece of a run as one):
  // source endpoint (canonical, so an IPv4 peer of a dual-stack socket is an
  // IPv4 endpoint), its bytes and its true length. At least the first
  // min(l, lenBuf) bytes at x can be read; a datagram longer than lenBuf
  // must be rejected by its length.
  using TRx = void (*)(const UDP0::TDstDesc& r, const uint8_t* x, uint32_t l);

  struct TSettings {
    const char* name;               // the program's link module: "SrvIO", "CliIO"
    Log::TModId mid;                // its identifier in the program's log
    bool vrb;                       // -v: messages on the console too
    UDP0::TAdrDesc la;              // local address to bind; its family is the socket's
    uint16_t lp;                    // local port to bind, 0: the system's choice
    const char* startLine;          // logged before the bound endpoint
    TRx rx;                         // receive handler
    bool flt = false;               // the program drops sources it does not serve
                                    // (the server's -n): the closing line shows rxf
  };

  // Registers with the log, chains DoneModule, opens, tunes and binds the
  // socket and logs startLine + the bound endpoint. The socket is IPv4 or
  // IPv6 as la is; bound to "::" it takes IPv4 peers too (dual stack). An
  // IPv6 socket never fragments what it sends (IPV6_DONTFRAG): a datagram
  // larger than the path takes fails and is counted in txe, which is why the
  // server grants IPv6 sessions a smaller fragment (WISP::lenMaxFgm6).
  void InitModule(const TSettings& s);

  void Message(const char* s);
  [[noreturn]] void Fatal(const char* s);

  // Queues l bytes of x (an array of n bytes) for d. Datagrams leave in
  // batches, at the latest before the loop waits or the program ends.
  void Send(const UDP0::TDstDesc& d, const uint8_t* x, size_t n, uint32_t l);
  // Sends what is queued now. The loop does it before it waits; a test that
  // drives the handlers without the loop calls it before it looks.
  void Flush();
  // Runs: a run of queued datagrams of one length for one peer leaves as one
  // message that the kernel cuts into those datagrams (UDP segmentation
  // offload), and runs that a local sender made arrive whole (UDP_GRO) and
  // are cut here; the network sees the same datagrams either way, the stack
  // is passed once per run. Off at start, so at the default rates every
  // datagram is its own also to a capture on this host; the programs turn
  // it on while a transfer asks for more than runFpu fragments per update.
  // Where the kernel cannot, datagrams go and come one by one.
  void Runs(bool on);
  // The fragments per update above which the programs turn runs on: the
  // default rate's 10.
  constexpr uint32_t runFpu = 10;

  // The event loop. Each pass: a key (if the previous wait found one), the
  // timers, the queued sends, one wait, a console signal (stops the
  // program), the datagrams waiting (up to 64, taken in one call).
  [[noreturn]] void Execute();

  void IncCnt(uint32_t& c);
  TCntDesc& Cnt();
}
