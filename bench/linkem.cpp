// linkem — a wide-area path between two network namespaces.
//
// A TUN device in each of two existing namespaces (ip netns add A; ip netns
// add B) carries 10.77.0.1/24 in A and 10.77.0.2/24 in B; this program reads
// the IP packets each side sends and writes them into the other side's
// device after three stages per direction, in turn:
//   random loss    each packet lost with a fixed probability (seeded, so a
//                  run repeats);
//   bottleneck     a link that serialises at a given rate behind a drop-tail
//                  queue of a given length (bytes, or milliseconds at the
//                  rate): a packet that finds the queue full is dropped;
//   delay          a fixed one-way delay after the bottleneck.
// Because every packet of a direction passes the same FIFO and the same
// delay, its time of delivery is known when it enters: each direction is one
// ring of packet slots in order of delivery, and the loop sleeps (ppoll with
// a nanosecond time-out, timer slack of 1 ns) until the next delivery is due
// or a device has packets. TCP and UDP ride the same path alike.
//
// At exit (SIGTERM, SIGINT, or after --max-seconds) it writes a JSON report:
// per direction the packets and bytes delivered, dropped at the queue, at
// random, and for want of a slot; the time packets waited in the queue
// (median, 95th percentile, largest) and how late the loop delivered them
// against their due time; per flow (protocol, addresses, ports) packets,
// bytes and drops; and a timeline of 100 ms bins with the bytes delivered
// per flow, the drops and the median wait in the queue.
//
//   linkem --ns-a A --ns-b B --rate 100e6 --queue-ms 100 --delay-ms 25
//          --loss 0.01 --seed 1 --report out.json [--sysctl KEY=VALUE ...]
//
// Options without a direction set both; --X-ab (A to B) and --X-ba (B to
// A) set one. --sysctl sets a value in both namespaces (e.g. the TCP buffer
// limits), --rt PRIO runs the loop at a real-time priority with its tables
// locked in memory (timing beside busy programs), --spin-us US polls the
// devices instead of sleeping when a delivery is due that soon, --uptime-s S
// runs it as if the system had been up S seconds longer (a test that a long
// uptime changes nothing). "linkem
// ready" on standard output tells that both devices are up. Everything is
// sized at start-up (--slots: packets in flight per direction); nothing is
// allocated per packet.
//
// One packet slot holds up to 2048 bytes; the devices' MTU is 1500 and they
// carry no IPv6. The kernel's queue in front of each device is long
// (20000 packets), so only the emulated queue drops.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t slotBytes = 2048;    // one IP packet (the devices' MTU is 1500)
constexpr uint32_t maxFlows = 16;       // flows told apart per direction; the rest is "other"
constexpr uint32_t binNs = 100000000;   // timeline bin: 100 ms
constexpr uint32_t binSamples = 4096;   // queue waits kept per bin for its median
constexpr uint32_t histUs = 10;         // histogram step of the waits
constexpr uint32_t histBins = 400000;   // up to 4 s, beyond that in the last bin
constexpr uint32_t readBatch = 64;      // packets read from one device per pass

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "linkem: %s: %s\n", what, errno ? std::strerror(errno) : "invalid");
  std::exit(2);
}

[[noreturn]] void Usage(const char* what) {
  std::fprintf(stderr,
               "linkem: %s\n"
               "usage: linkem --ns-a NAME --ns-b NAME [--rate BIT/S] [--queue-ms MS | --queue-bytes B]\n"
               "              [--delay-ms MS] [--loss P] [--seed N] [--report FILE] [--max-seconds S]\n"
               "              [--addr-a IP] [--addr-b IP] [--dev NAME] [--slots N] [--spin-us US] [--rt PRIO]\n"
               "              [--uptime-s S]\n"
               "              [--sysctl KEY=VALUE]...\n"
               "  --rate, --queue-ms, --queue-bytes, --delay-ms and --loss set both directions;\n"
               "  append -ab (A to B) or -ba (B to A) to set one.\n",
               what);
  std::exit(2);
}

// Every time is kept from the emulator's start: the queue's busy time is
// kept in picoseconds, and the monotonic clock itself (ns since boot) would
// make that wrap after 213 days of uptime, dropping every packet from then on.
uint64_t clockShift = 0;   // --uptime-s: added to the clock as read
uint64_t clockBase = 0;    // the clock at the start

// The monotonic clock in ns, as read (with the shift of --uptime-s).
uint64_t Mono() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec) + clockShift;
}

// ns since the emulator's start.
uint64_t Now() { return Mono() - clockBase; }

// splitmix64: small, fast, and the same sequence for the same seed.
struct TRng {
  uint64_t s;
  uint64_t Next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
};

struct TPath {          // one direction's settings
  double rate = 100e6;  // bit/s
  double queueMs = 100;
  double queueBytes = -1;  // > 0: overrides queueMs
  double delayMs = 0;
  double loss = 0;
};

struct TFlowKey {
  uint8_t proto;
  uint32_t src, dst;
  uint16_t sport, dport;
  bool operator==(const TFlowKey&) const = default;
};

struct TFlow {
  TFlowKey k;
  uint64_t pk, bytes, dropQ, dropR;
};

struct TSlot {
  uint64_t due;      // delivery time (monotonic ns)
  uint32_t waitUs;   // time spent in the queue
  uint16_t len;
  uint8_t flow;      // index into flows, maxFlows = other
  uint8_t data[slotBytes];
};

struct TBin {
  uint64_t bytes[maxFlows + 1];
  uint32_t pk, dropQ, dropR, waitP50Us, waitMaxUs;
};

struct TDir {
  const char* name;
  int in = -1, out = -1;       // read from, write to
  TPath p;
  uint64_t limit = 0;          // queue limit in bytes
  double psPerByte = 0;        // serialisation time per byte, in picoseconds
  uint64_t delayNs = 0;
  TRng rng{};                  // the losses
  TRng pick{};                 // the reservoir of queue waits, apart, so that losses depend on the seed alone
  // The ring of packets in flight, in order of delivery.
  std::vector<TSlot> ring;
  uint32_t mask = 0, head = 0, tail = 0;
  uint64_t busyPs = 0;         // when the bottleneck is free (monotonic, ps)
  // Totals.
  uint64_t rxPk = 0, pk = 0, bytes = 0, dropQ = 0, dropR = 0, dropSlot = 0, writeErr = 0, late1ms = 0;
  std::vector<uint32_t> waitHist, lateHist;
  uint32_t waitMaxUs = 0, lateMaxUs = 0;
  TFlow flows[maxFlows + 1]{};
  uint32_t nFlows = 0;
  // Timeline.
  std::vector<TBin> bins;
  uint32_t curBin = 0;
  uint32_t samples[binSamples];
  uint32_t nSamples = 0;
  uint64_t seen = 0;           // waits offered to the current bin (reservoir sampling)
};

volatile sig_atomic_t stopFlag = 0;
void OnSignal(int) { stopFlag = 1; }

uint32_t HistBin(uint64_t us) { return static_cast<uint32_t>(std::min<uint64_t>(us / histUs, histBins - 1)); }

// The quantile q of a histogram, in microseconds (lower edge of its bin).
uint64_t Quantile(const std::vector<uint32_t>& h, double q) {
  uint64_t n = 0;
  for (uint32_t c : h) n += c;
  if (n == 0) return 0;
  uint64_t want = static_cast<uint64_t>(std::ceil(q * static_cast<double>(n)));
  if (want == 0) want = 1;
  uint64_t acc = 0;
  for (uint32_t k = 0; k < h.size(); ++k) {
    acc += h[k];
    if (acc >= want) return static_cast<uint64_t>(k) * histUs;
  }
  return static_cast<uint64_t>(h.size()) * histUs;
}

TFlowKey KeyOf(const uint8_t* b, uint32_t len) {
  TFlowKey k{};
  if (len < 20 || (b[0] >> 4) != 4) {
    k.proto = 0;  // not IPv4
    return k;
  }
  uint32_t ihl = (b[0] & 15u) * 4u;
  k.proto = b[9];
  std::memcpy(&k.src, b + 12, 4);
  std::memcpy(&k.dst, b + 16, 4);
  bool first = ((b[6] & 0x1Fu) << 8 | b[7]) == 0;   // fragment offset 0
  if ((k.proto == IPPROTO_TCP || k.proto == IPPROTO_UDP) && first && len >= ihl + 4) {
    k.sport = static_cast<uint16_t>(b[ihl] << 8 | b[ihl + 1]);
    k.dport = static_cast<uint16_t>(b[ihl + 2] << 8 | b[ihl + 3]);
  }
  return k;
}

uint8_t FlowOf(TDir& d, const uint8_t* b, uint32_t len) {
  TFlowKey k = KeyOf(b, len);
  for (uint32_t i = 0; i < d.nFlows; ++i)
    if (d.flows[i].k == k) return static_cast<uint8_t>(i);
  if (d.nFlows == maxFlows) return maxFlows;
  d.flows[d.nFlows].k = k;
  return static_cast<uint8_t>(d.nFlows++);
}

// Closes timeline bins up to the one that holds time t (ns since t0).
void Advance(TDir& d, uint64_t t) {
  uint32_t b = static_cast<uint32_t>(std::min<uint64_t>(t / binNs, d.bins.size() - 1));
  while (d.curBin < b) {
    TBin& x = d.bins[d.curBin];
    if (d.nSamples > 0) {
      uint32_t* m = d.samples + d.nSamples / 2;
      std::nth_element(d.samples, m, d.samples + d.nSamples);
      x.waitP50Us = *m;
    }
    d.nSamples = 0;
    d.seen = 0;
    ++d.curBin;
  }
}

void Sample(TDir& d, uint32_t waitUs) {
  ++d.seen;
  if (d.nSamples < binSamples) {
    d.samples[d.nSamples++] = waitUs;
  } else {
    uint64_t r = d.pick.Next() % d.seen;   // keep a uniform sample of the bin
    if (r < binSamples) d.samples[r] = waitUs;
  }
}

uint64_t t0 = 0;   // start of the timeline (Now)

// A packet read from d.in at time now, in slot ring[tail] (len bytes).
void Admit(TDir& d, TSlot& s, uint64_t now) {
  ++d.rxPk;
  s.flow = FlowOf(d, s.data, s.len);
  TFlow& f = d.flows[s.flow];
  Advance(d, now - t0);
  TBin& bin = d.bins[d.curBin];
  if (d.p.loss > 0 && d.rng.Uniform() < d.p.loss) {
    ++d.dropR;
    ++f.dropR;
    ++bin.dropR;
    return;
  }
  // The bytes still to be serialised (the rest of the packet on the wire included).
  uint64_t nowPs = now * 1000;
  uint64_t startPs = std::max(nowPs, d.busyPs);
  uint64_t backlog = static_cast<uint64_t>(static_cast<double>(startPs - nowPs) / d.psPerByte);
  if (backlog + s.len > d.limit) {
    ++d.dropQ;
    ++f.dropQ;
    ++bin.dropQ;
    return;
  }
  if (((d.tail + 1) & d.mask) == d.head) {   // no free slot: the ring is sized generously at start-up
    ++d.dropSlot;
    return;
  }
  d.busyPs = startPs + static_cast<uint64_t>(std::llround(s.len * d.psPerByte));
  s.due = d.busyPs / 1000 + d.delayNs;
  s.waitUs = static_cast<uint32_t>((startPs - nowPs) / 1000000);
  d.tail = (d.tail + 1) & d.mask;
}

void ReadSide(TDir& d) {
  for (uint32_t k = 0; k < readBatch; ++k) {
    TSlot& s = d.ring[d.tail];
    ssize_t n = read(d.in, s.data, slotBytes);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return;
      Die("read from the device");
    }
    if (n == 0) return;
    s.len = static_cast<uint16_t>(n);
    Admit(d, s, Now());
  }
}

// Delivers every packet due by now; returns the due time of the next one (0: none).
uint64_t Deliver(TDir& d, uint64_t now) {
  while (d.head != d.tail) {
    TSlot& s = d.ring[d.head];
    if (s.due > now) return s.due;
    if (write(d.out, s.data, s.len) != s.len) ++d.writeErr;
    uint64_t late = (now - s.due) / 1000;
    if (late >= 1000) ++d.late1ms;
    ++d.lateHist[HistBin(late)];
    d.lateMaxUs = std::max(d.lateMaxUs, static_cast<uint32_t>(std::min<uint64_t>(late, UINT32_MAX)));
    ++d.waitHist[HistBin(s.waitUs)];
    d.waitMaxUs = std::max(d.waitMaxUs, s.waitUs);
    ++d.pk;
    d.bytes += s.len;
    TFlow& f = d.flows[s.flow];
    ++f.pk;
    f.bytes += s.len;
    Advance(d, now - t0);
    TBin& bin = d.bins[d.curBin];
    bin.bytes[s.flow] += s.len;
    ++bin.pk;
    bin.waitMaxUs = std::max(bin.waitMaxUs, s.waitUs);
    Sample(d, s.waitUs);
    d.head = (d.head + 1) & d.mask;
    now = Now();
  }
  return 0;
}

std::string Addr(uint32_t a) {
  char s[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &a, s, sizeof s);
  return s;
}

void WriteReport(const char* path, TDir* dirs, const std::string& params, double realStart) {
  FILE* f = path ? std::fopen(path, "w") : stdout;
  if (!f) Die("open the report");
  std::fprintf(f, "{\"params\": %s, \"start_unix\": %.6f, \"t0_mono_ns\": %llu, \"bin_ms\": %u, \"dirs\": {",
               params.c_str(), realStart, static_cast<unsigned long long>(clockBase - clockShift + t0), binNs / 1000000);
  for (int k = 0; k < 2; ++k) {
    TDir& d = dirs[k];
    Advance(d, Now() - t0 + binNs);   // close the current bin
    std::fprintf(f,
                 "%s\"%s\": {\"received\": %llu, \"forwarded\": %llu, \"bytes\": %llu, \"dropped_queue\": %llu, "
                 "\"dropped_random\": %llu, \"dropped_slot\": %llu, \"write_errors\": %llu, "
                 "\"queue_p50_us\": %llu, \"queue_p95_us\": %llu, \"queue_max_us\": %u, "
                 "\"late_p50_us\": %llu, \"late_p99_us\": %llu, \"late_max_us\": %u, \"late_1ms\": %llu, \"in_flight\": %u,\n",
                 k ? ",\n" : "", d.name, static_cast<unsigned long long>(d.rxPk),
                 static_cast<unsigned long long>(d.pk), static_cast<unsigned long long>(d.bytes),
                 static_cast<unsigned long long>(d.dropQ), static_cast<unsigned long long>(d.dropR),
                 static_cast<unsigned long long>(d.dropSlot), static_cast<unsigned long long>(d.writeErr),
                 static_cast<unsigned long long>(Quantile(d.waitHist, 0.5)),
                 static_cast<unsigned long long>(Quantile(d.waitHist, 0.95)), d.waitMaxUs,
                 static_cast<unsigned long long>(Quantile(d.lateHist, 0.5)),
                 static_cast<unsigned long long>(Quantile(d.lateHist, 0.99)), d.lateMaxUs,
                 static_cast<unsigned long long>(d.late1ms), (d.tail - d.head) & d.mask);
    std::fprintf(f, " \"flows\": [");
    for (uint32_t i = 0; i <= d.nFlows; ++i) {
      const TFlow& x = d.flows[i < d.nFlows ? i : maxFlows];
      if (i == d.nFlows && x.pk + x.dropQ + x.dropR == 0) break;
      const char* proto = x.k.proto == IPPROTO_TCP ? "tcp" : x.k.proto == IPPROTO_UDP ? "udp" : "other";
      if (i == d.nFlows) proto = "rest";
      std::fprintf(f,
                   "%s\n  {\"id\": %u, \"proto\": \"%s\", \"src\": \"%s\", \"sport\": %u, \"dst\": \"%s\", "
                   "\"dport\": %u, \"packets\": %llu, \"bytes\": %llu, \"dropped_queue\": %llu, "
                   "\"dropped_random\": %llu}",
                   i ? "," : "", i, proto, Addr(x.k.src).c_str(), x.k.sport, Addr(x.k.dst).c_str(), x.k.dport,
                   static_cast<unsigned long long>(x.pk), static_cast<unsigned long long>(x.bytes),
                   static_cast<unsigned long long>(x.dropQ), static_cast<unsigned long long>(x.dropR));
    }
    // Timeline: [bin, packets, dropped at the queue, dropped at random,
    // median wait us, largest wait us, {flow id: bytes}], bins with traffic only.
    std::fprintf(f, "],\n \"timeline\": [");
    bool first = true;
    for (uint32_t b = 0; b < d.curBin && b < d.bins.size(); ++b) {
      const TBin& x = d.bins[b];
      if (x.pk + x.dropQ + x.dropR == 0) continue;
      std::fprintf(f, "%s\n  [%u, %u, %u, %u, %u, %u, {", first ? "" : ",", b, x.pk, x.dropQ, x.dropR, x.waitP50Us,
                   x.waitMaxUs);
      bool fb = true;
      for (uint32_t i = 0; i <= maxFlows; ++i) {
        if (x.bytes[i] == 0) continue;
        std::fprintf(f, "%s\"%u\": %llu", fb ? "" : ", ", i, static_cast<unsigned long long>(x.bytes[i]));
        fb = false;
      }
      std::fprintf(f, "}]");
      first = false;
    }
    std::fprintf(f, "]}");
  }
  std::fprintf(f, "}}\n");
  if (path) std::fclose(f);
}

void Ioctl(int s, unsigned long req, ifreq& r, const char* what) {
  if (ioctl(s, req, &r) < 0) Die(what);
}

// Writes value to /proc/sys/KEY (dots as slashes) in the calling thread's namespace.
void Sysctl(const std::string& key, const std::string& value) {
  std::string p = "/proc/sys/" + key;
  std::replace(p.begin() + 10, p.end(), '.', '/');
  int fd = open(p.c_str(), O_WRONLY);
  if (fd < 0) Die(p.c_str());
  if (write(fd, value.data(), value.size()) != static_cast<ssize_t>(value.size())) Die(p.c_str());
  close(fd);
}

// Enters namespace ns, makes its loopback and a TUN device named dev with
// address addr/24 and MTU 1500 there, applies the sysctls, and returns the
// device's descriptor (non-blocking); the caller's namespace is restored.
int MakeSide(const char* ns, const char* dev, const char* addr,
             const std::vector<std::pair<std::string, std::string>>& sysctls) {
  int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  if (home < 0) Die("open /proc/self/ns/net");
  std::string path = std::string("/run/netns/") + ns;
  int nsfd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (nsfd < 0) Die(path.c_str());
  if (setns(nsfd, CLONE_NEWNET) < 0) Die("setns");
  close(nsfd);

  int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) Die("open /dev/net/tun");
  ifreq r{};
  r.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::snprintf(r.ifr_name, IFNAMSIZ, "%s", dev);
  Ioctl(fd, TUNSETIFF, r, "TUNSETIFF");

  // No IPv6 on the device: its router solicitations would only add traffic.
  std::string v6 = std::string("net.ipv6.conf.") + dev + ".disable_ipv6";
  if (access(("/proc/sys/net/ipv6/conf/" + std::string(dev)).c_str(), F_OK) == 0) Sysctl(v6, "1");
  for (const auto& [k, v] : sysctls) Sysctl(k, v);

  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) Die("socket");
  ifreq lo{};
  std::snprintf(lo.ifr_name, IFNAMSIZ, "lo");
  Ioctl(s, SIOCGIFFLAGS, lo, "SIOCGIFFLAGS lo");
  lo.ifr_flags |= IFF_UP;
  Ioctl(s, SIOCSIFFLAGS, lo, "SIOCSIFFLAGS lo");

  ifreq a{};
  std::snprintf(a.ifr_name, IFNAMSIZ, "%s", dev);
  auto* sin = reinterpret_cast<sockaddr_in*>(&a.ifr_addr);
  sin->sin_family = AF_INET;
  if (inet_pton(AF_INET, addr, &sin->sin_addr) != 1) Usage("bad address");
  Ioctl(s, SIOCSIFADDR, a, "SIOCSIFADDR");
  inet_pton(AF_INET, "255.255.255.0", &sin->sin_addr);
  Ioctl(s, SIOCSIFNETMASK, a, "SIOCSIFNETMASK");
  ifreq m{};
  std::snprintf(m.ifr_name, IFNAMSIZ, "%s", dev);
  m.ifr_mtu = 1500;
  Ioctl(s, SIOCSIFMTU, m, "SIOCSIFMTU");
  // A long queue in the device: the kernel must never drop what this loop
  // has not read yet; only the emulated queue drops.
  ifreq q{};
  std::snprintf(q.ifr_name, IFNAMSIZ, "%s", dev);
  q.ifr_qlen = 20000;
  Ioctl(s, SIOCSIFTXQLEN, q, "SIOCSIFTXQLEN");
  ifreq u{};
  std::snprintf(u.ifr_name, IFNAMSIZ, "%s", dev);
  Ioctl(s, SIOCGIFFLAGS, u, "SIOCGIFFLAGS");
  u.ifr_flags |= IFF_UP | IFF_RUNNING;
  Ioctl(s, SIOCSIFFLAGS, u, "SIOCSIFFLAGS");
  close(s);

  if (setns(home, CLONE_NEWNET) < 0) Die("setns back");
  close(home);
  return fd;
}

// Keeps a table's pages in memory (best effort: a limit on locked memory
// only costs timing).
template <typename T>
void Lock(std::vector<T>& v) {
  if (mlock(v.data(), v.size() * sizeof(T)) < 0)
    std::fprintf(stderr, "linkem: mlock: %s\n", std::strerror(errno));
}

double Num(const char* opt, const char* v) {
  char* e = nullptr;
  double x = std::strtod(v, &e);
  if (!v[0] || *e || !std::isfinite(x) || x < 0) {
    std::fprintf(stderr, "linkem: %s: not a number: %s\n", opt, v);
    std::exit(2);
  }
  return x;
}

void SizeDir(TDir& d, uint32_t slots, uint32_t maxBins, uint64_t seed) {
  d.limit = static_cast<uint64_t>(d.p.queueBytes > 0 ? d.p.queueBytes : d.p.rate / 8 * d.p.queueMs / 1000);
  if (d.limit < 1500) d.limit = 1500;   // at least one packet
  d.psPerByte = 8e12 / d.p.rate;
  d.delayNs = static_cast<uint64_t>(std::llround(d.p.delayMs * 1e6));
  if (slots == 0) {
    // Four times what the queue and the delay hold in full-sized packets.
    double inFlight = static_cast<double>(d.limit) + d.p.rate / 8 * d.p.delayMs / 1000;
    slots = static_cast<uint32_t>(std::min(4.0 * inFlight / 1500 + 1024, 1048576.0));
  }
  uint32_t n = 1024;
  while (n < slots) n <<= 1;
  d.ring.resize(n);
  d.mask = n - 1;
  d.waitHist.assign(histBins, 0);
  d.lateHist.assign(histBins, 0);
  d.bins.assign(maxBins, TBin{});
  d.rng.s = seed;
  d.pick.s = ~seed;
  d.flows[maxFlows].k = TFlowKey{};
}

}  // namespace

int main(int argc, char** argv) {
  const char* nsA = nullptr;
  const char* nsB = nullptr;
  const char* addrA = "10.77.0.1";
  const char* addrB = "10.77.0.2";
  const char* dev = "lkm0";
  const char* report = nullptr;
  uint64_t seed = 1;
  double maxSeconds = 3600;
  uint32_t slots = 0;
  double spinUs = 0;
  int rtPrio = 0;
  std::vector<std::pair<std::string, std::string>> sysctls;
  TDir dirs[2];
  dirs[0].name = "ab";
  dirs[1].name = "ba";

  for (int i = 1; i < argc; ++i) {
    std::string o = argv[i];
    if (i + 1 >= argc) Usage(("missing value of " + o).c_str());
    const char* v = argv[++i];
    // Path options: plain for both directions, -ab or -ba for one.
    int which = 3;
    std::string base = o;
    if (o.size() > 3 && (o.ends_with("-ab") || o.ends_with("-ba"))) {
      which = o.ends_with("-ab") ? 1 : 2;
      base = o.substr(0, o.size() - 3);
    }
    auto set = [&](auto member) {
      double x = Num(o.c_str(), v);
      for (int k = 0; k < 2; ++k)
        if (which & (1 << k)) dirs[k].p.*member = x;
    };
    if (base == "--rate") {
      set(&TPath::rate);
    } else if (base == "--queue-ms") {
      set(&TPath::queueMs);
    } else if (base == "--queue-bytes") {
      set(&TPath::queueBytes);
    } else if (base == "--delay-ms") {
      set(&TPath::delayMs);
    } else if (base == "--loss") {
      set(&TPath::loss);
    } else if (which != 3) {
      Usage(("unknown option " + o).c_str());
    } else if (o == "--ns-a") {
      nsA = v;
    } else if (o == "--ns-b") {
      nsB = v;
    } else if (o == "--addr-a") {
      addrA = v;
    } else if (o == "--addr-b") {
      addrB = v;
    } else if (o == "--dev") {
      dev = v;
    } else if (o == "--report") {
      report = v;
    } else if (o == "--seed") {
      seed = static_cast<uint64_t>(Num(o.c_str(), v));
    } else if (o == "--max-seconds") {
      maxSeconds = Num(o.c_str(), v);
    } else if (o == "--slots") {
      slots = static_cast<uint32_t>(Num(o.c_str(), v));
    } else if (o == "--rt") {
      rtPrio = static_cast<int>(Num(o.c_str(), v));
    } else if (o == "--spin-us") {
      spinUs = Num(o.c_str(), v);
    } else if (o == "--uptime-s") {
      clockShift = static_cast<uint64_t>(Num(o.c_str(), v) * 1e9);
    } else if (o == "--sysctl") {
      const char* eq = std::strchr(v, '=');
      if (!eq) Usage("--sysctl wants KEY=VALUE");
      sysctls.emplace_back(std::string(v, eq), std::string(eq + 1));
    } else {
      Usage(("unknown option " + o).c_str());
    }
  }
  if (!nsA || !nsB) Usage("--ns-a and --ns-b are needed");
  for (TDir& d : dirs) {
    if (d.p.rate < 1000) Usage("rate below 1000 bit/s");
    if (d.p.loss > 1) Usage("loss is a probability, 0..1");
    if (d.p.delayMs > 10000 || d.p.queueMs > 10000) Usage("delay and queue up to 10 s");
  }
  if (maxSeconds <= 0 || maxSeconds > 86400) Usage("--max-seconds 0..86400");

  uint32_t maxBins = static_cast<uint32_t>(maxSeconds * 1e9 / binNs) + 2;
  SizeDir(dirs[0], slots, maxBins, seed * 2 + 1);
  SizeDir(dirs[1], slots, maxBins, seed * 2 + 2);

  char params[512];
  std::snprintf(params, sizeof params,
                "{\"ns_a\": \"%s\", \"ns_b\": \"%s\", \"addr_a\": \"%s\", \"addr_b\": \"%s\", \"seed\": %llu, "
                "\"ab\": {\"rate\": %.0f, \"queue_bytes\": %llu, \"delay_ms\": %g, \"loss\": %g, \"slots\": %u}, "
                "\"ba\": {\"rate\": %.0f, \"queue_bytes\": %llu, \"delay_ms\": %g, \"loss\": %g, \"slots\": %u}}",
                nsA, nsB, addrA, addrB, static_cast<unsigned long long>(seed), dirs[0].p.rate,
                static_cast<unsigned long long>(dirs[0].limit), dirs[0].p.delayMs, dirs[0].p.loss, dirs[0].mask + 1,
                dirs[1].p.rate, static_cast<unsigned long long>(dirs[1].limit), dirs[1].p.delayMs, dirs[1].p.loss,
                dirs[1].mask + 1);

  // Signals reach the loop only inside ppoll, so no read or write is cut short.
  sigset_t block, wait;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGHUP);
  sigprocmask(SIG_BLOCK, &block, &wait);
  sigdelset(&wait, SIGTERM);
  sigdelset(&wait, SIGINT);
  sigdelset(&wait, SIGHUP);
  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);   // wake-ups to the nanosecond, not 50 us late
  if (rtPrio > 0) {
    // The path does not wait for a CPU: on a busy machine the loop runs
    // before the programs whose packets it carries. It sleeps between
    // packets, and the kernel's real-time throttling bounds it anyway.
    sched_param sp{};
    sp.sched_priority = rtPrio;
    if (sched_setscheduler(0, SCHED_FIFO, &sp) < 0) Die("sched_setscheduler");
    // The tables in memory now: no page fault in the loop.
    for (TDir& d : dirs) {
      Lock(d.ring);
      Lock(d.waitHist);
      Lock(d.lateHist);
      Lock(d.bins);
    }
  }

  int fdA = MakeSide(nsA, dev, addrA, sysctls);
  int fdB = MakeSide(nsB, dev, addrB, sysctls);
  dirs[0].in = fdA;
  dirs[0].out = fdB;
  dirs[1].in = fdB;
  dirs[1].out = fdA;

  timespec rt;
  clock_gettime(CLOCK_REALTIME, &rt);
  clockBase = Mono();
  t0 = Now();
  double realStart = static_cast<double>(rt.tv_sec) + rt.tv_nsec / 1e9;
  uint64_t end = t0 + static_cast<uint64_t>(maxSeconds * 1e9);
  uint64_t spinNs = static_cast<uint64_t>(spinUs * 1000);
  std::printf("linkem ready\n");
  std::fflush(stdout);

  pollfd pf[2] = {{fdA, POLLIN, 0}, {fdB, POLLIN, 0}};
  while (!stopFlag) {
    uint64_t now = Now();
    if (now >= end) break;
    uint64_t next = end;
    for (TDir& d : dirs) {
      uint64_t due = Deliver(d, now);
      if (due) next = std::min(next, due);
    }
    now = Now();
    if (next > now && next - now <= spinNs) {
      // Close to a due time: look at the devices without sleeping.
      for (TDir& d : dirs) ReadSide(d);
      continue;
    }
    uint64_t left = next > now ? next - now - std::min(next - now, spinNs) : 0;
    timespec to{static_cast<time_t>(left / 1000000000u), static_cast<long>(left % 1000000000u)};
    int n = ppoll(pf, 2, &to, &wait);
    if (n < 0) {
      if (errno == EINTR) continue;
      Die("ppoll");
    }
    if (n > 0) {
      if (pf[0].revents & (POLLERR | POLLHUP | POLLNVAL)) Die("device A");
      if (pf[1].revents & (POLLERR | POLLHUP | POLLNVAL)) Die("device B");
      if (pf[0].revents & POLLIN) ReadSide(dirs[0]);
      if (pf[1].revents & POLLIN) ReadSide(dirs[1]);
    }
  }
  WriteReport(report, dirs, params, realStart);
  close(fdA);
  close(fdB);
  return 0;
}
