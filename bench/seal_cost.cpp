// seal_cost.cpp — what sealing costs per fragment: the server's Seal::Send
// of a data reply and Seal::Open of a data reply the far end sealed, with
// each AEAD this machine has, beside the classic step (EncodeDatRp and
// WISP::Accept, the CRC both ways). Prints ns per telegram and CPU seconds
// per GiB of fragment data for a fragment of the given length, and the
// cost per byte taken to a fragment of 1455 bytes (the classic largest,
// which a sealed session cannot grant: its largest is 1416).
//
//   build/seal_cost [fragment bytes, 1416] [telegrams per round, 20000] [rounds, 10]
#include <sodium.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "../tests/SecurePeer.h"
#include "Keys.h"
#include "Noise.h"
#include "Seal.h"
#include "WISP.h"

namespace {
  using SecurePeer::Bytes;

  double Cpu() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
  }

  Keys::TPair srv, cli;

  void MakeKeys(const char* dir) {
    crypto_box_keypair(srv.pub, srv.prv);
    crypto_box_keypair(cli.pub, cli.prv);
    char t[Keys::lenKeyTxt + 1];
    std::filesystem::create_directory(dir);
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
    sodium_bin2base64(t, sizeof t, srv.prv, Keys::lenKey, sodium_base64_VARIANT_ORIGINAL);
    std::ofstream(std::string(dir) + "/key") << t << "\n";
    std::filesystem::permissions(std::string(dir) + "/key",
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    sodium_bin2base64(t, sizeof t, cli.pub, Keys::lenKey, sodium_base64_VARIANT_ORIGINAL);
    std::ofstream(std::string(dir) + "/clients") << t << " bench\n";
    bool wrote = false;
    if (Keys::LoadOwn(dir, wrote) != Keys::errOk || Keys::LoadClients(dir) != Keys::errOk) std::exit(1);
  }

  // A server entry after a genuine handshake, and the client's end.
  uint32_t Session(uint8_t offer, SecurePeer::TFar& far) {
    Noise::InitModule();
    Seal::InitModule({.cnt = 2, .server = true});
    Noise::TState hs{};
    uint8_t rq[WISP::lenMaxTel], t[WISP::lenMaxTel], rp[WISP::lenMaxTel];
    WISP::TRdRqDesc q{.f = 1416, .t = 1, .n = 10, .r = "bench", .x = 0};
    const uint32_t ql = WISP::Encode(t, q);
    const uint32_t n = Noise::CreateRequest(hs, cli, srv.pub, 7, offer, t, ql, rq);
    uint32_t tl = 0, ses = 0;
    if (Seal::Open(rq, n, {}, t, tl, ses) != Seal::drpNone) std::exit(2);
    WISP::TRdRpDesc r{};
    const uint32_t rl = WISP::Encode(t, r);
    const uint32_t pn = Seal::Send(ses, t, rl, rp);
    if (Noise::ConsumeReply(hs, cli, rp, pn, t, tl, far.aead, far.k) != Noise::resOk) std::exit(3);
    far.peer = hs.peer;
    return ses;
  }

  void Line(const char* what, double secs, uint32_t tels, uint32_t frag) {
    const double ns = secs * 1e9 / tels;
    const double perGiB = secs / (static_cast<double>(tels) * frag) * 1073741824.0;
    std::printf("%-34s %7.0f ns/telegram %7.0f ns/1455 bytes %7.3f CPU s/GiB\n", what, ns,
                secs * 1e9 / (static_cast<double>(tels) * frag) * 1455.0, perGiB);
  }
}

int main(int argc, char** argv) {
  const uint32_t frag = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : SecTel::lenMaxFgmSeal;
  const uint32_t per = argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 20000;
  const uint32_t rounds = argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : 10;
  if (frag == 0 || frag > SecTel::lenMaxFgmSeal || per == 0) return 1;
  char dir[] = "/tmp/wisp-seal-cost-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  Keys::InitModule({.prg = "bench"});
  MakeKeys(dir);
  std::vector<uint8_t> data(frag);
  for (uint32_t k = 0; k < frag; ++k) data[k] = static_cast<uint8_t>(k * 131 + 7);
  uint8_t tel[WISP::lenMaxTel + 64], out[WISP::lenMaxTel + 64];
  const uint32_t tl = WISP::EncodeDatRp(tel, {1, 0}, data.data(), frag);
  std::printf("fragment %u bytes, %u telegrams x %u rounds, AES-256-GCM in hardware: %s\n", frag, per, rounds,
              crypto_aead_aes256gcm_is_available() ? "yes" : "no");

  // The classic step: build the data reply (its CRC), accept it (CRC again).
  double c0 = Cpu();
  uint32_t sink = 0;
  for (uint32_t k = 0; k < per * rounds; ++k) {
    const uint32_t l = WISP::EncodeDatRp(out, {1, k}, data.data(), frag);
    sink += WISP::Accept(out, l, false);
  }
  Line("classic encode + accept", Cpu() - c0, per * rounds, frag);

  for (uint8_t offer : {uint8_t{0}, Noise::offerAes}) {
    if (offer != 0 && !crypto_aead_aes256gcm_is_available()) continue;
    const char* name = offer != 0 ? "AES-256-GCM" : "ChaCha20-Poly1305";
    double tSeal = 0, tOpen = 0;
    std::vector<Bytes> sealed(per);
    for (uint32_t r = 0; r < rounds; ++r) {
      SecurePeer::TFar far;
      const uint32_t ses = Session(offer, far);
      for (uint32_t k = 0; k < per; ++k) sealed[k] = far.Seal(Bytes(tel, tel + tl));
      // The server: open what the client sealed (this confirms it), then seal.
      uint8_t in[WISP::lenMaxTel + 64];
      c0 = Cpu();
      for (uint32_t k = 0; k < per; ++k) {
        uint32_t il = 0, s = 0;
        if (Seal::Open(sealed[k].data(), static_cast<uint32_t>(sealed[k].size()), {}, in, il, s) != Seal::drpNone)
          return 4;
        sink += il;
      }
      const double c1 = Cpu();
      for (uint32_t k = 0; k < per; ++k) sink += Seal::Send(ses, tel, tl, out);
      const double c2 = Cpu();
      tOpen += c1 - c0;
      tSeal += c2 - c1;
    }
    char what[64];
    std::snprintf(what, sizeof what, "%s seal", name);
    Line(what, tSeal, per * rounds, frag);
    std::snprintf(what, sizeof what, "%s open", name);
    Line(what, tOpen, per * rounds, frag);
    std::snprintf(what, sizeof what, "%s seal + open", name);
    Line(what, tSeal + tOpen, per * rounds, frag);
  }
  std::filesystem::remove_all(dir);
  return sink == 0xFFFFFFFFu ? 5 : 0;
}
