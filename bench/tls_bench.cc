// tls_bench: what TLS costs a gateway session.
//
//   sessions   sessions per second against one tarpons in clear text and
//              one with TLS, from one client in sequence and from 64 at
//              once, a refused change each (the engine runs in full); the
//              TLS handshake's share of a sequential session, timed in the
//              client from the connect to the end of the handshake.
//   handshake  handshakes per second in-process, both ends in one thread
//              on a socket pair, with the gateway's settings (no tickets)
//              and with the library's default of two session tickets per
//              handshake: what offering resumption costs a gateway whose
//              clients, a new process each, cannot resume.
//
//   tls_bench [--rounds N] [--sessions N] [--programs DIR]
//
// Certificates are made in a temporary folder (P-256 keys); all traffic
// goes to 127.0.0.1; every loop has a fixed count.
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "comm/address.h"
#include "comm/client.h"
#include "comm/record_format.h"
#include "comm/tls.h"
#include "comm/wsa.h"
#include "tests/support/gateway_support.h"
#include "tests/support/tls_test_support.h"

namespace {

using bench::Median;
using bench::Seconds;

struct Options {
  int rounds = 5;
  long sessions = 1000;
  std::string programs;
};

// One refused change; false unless the reply's code is 2004. Adds the
// handshake's seconds to *handshake when TLS is on.
bool Session(const Address& server, const TlsContext* tls, double* handshake) {
  double start = Seconds();
  Client client(server);
  if (!client.IsGood()) return false;
  client.SetReceiveTimeout(10);
  if (tls != nullptr) {
    client.StartTls(*tls, "127.0.0.1");
    if (handshake != nullptr) *handshake += Seconds() - start;
  }
  if (!client.IsGood() ||
      client.SendRecord(bench::kRefusedChange) != Client::COMM_OK) {
    return false;
  }
  char reply[1024];
  uint32_t length = 0;
  return client.ReceiveRecord(reply, &length) == Client::COMM_OK &&
         std::strncmp(client.GetUserData(), "2004", 4) == 0;
}

// The address a gateway listens on.
Address AddressOf(const bench::Gateway& gateway) {
  return Address(static_cast<uint16_t>(gateway.Port()), "127.0.0.1");
}

struct Figures {
  std::vector<double> sequential;
  std::vector<double> parallel;
  double handshakeSeconds = 0;
  double sessionSeconds = 0;
  long failed = 0;
};

void Sequential(const Address& server, const TlsContext* tls, long count,
                Figures* figures) {
  double start = Seconds();
  for (long i = 0; i < count; ++i) {
    if (!Session(server, tls, &figures->handshakeSeconds)) ++figures->failed;
  }
  double seconds = Seconds() - start;
  figures->sessionSeconds += seconds;
  figures->sequential.push_back(count / seconds);
}

void Parallel(const Address& server, const TlsContext* tls, long count,
              Figures* figures) {
  constexpr int kClients = 64;
  const long each = std::max(1L, count / kClients);
  std::atomic<long> failed(0);
  std::vector<std::thread> clients;
  double start = Seconds();
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&] {
      for (long i = 0; i < each; ++i) {
        if (!Session(server, tls, nullptr)) ++failed;
      }
    });
  }
  for (std::thread& client : clients) client.join();
  figures->parallel.push_back(kClients * each / (Seconds() - start));
  figures->failed += failed;
}

// A bare TLS server beside the gateway, the yardstick of its TLS: OpenSSL
// with the same certificate and no session tickets, one connection at a
// time, answering each whole request record with a fixed reply record and
// no engine behind it.
class BareServer {
 public:
  explicit BareServer(const tls_test::TestCertificates& certificates)
      : context_(SSL_CTX_new(TLS_server_method())) {
    SSL_CTX_use_certificate_chain_file(
        context_, certificates.Path("gateway.pem").c_str());
    SSL_CTX_use_PrivateKey_file(
        context_, certificates.Path("gateway.key").c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_set_num_tickets(context_, 0);
    SSL_CTX_set_session_cache_mode(context_, SSL_SESS_CACHE_OFF);
    port_ = e2e::FreeLoopbackPort();
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port_));
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 64);
    thread_ = std::thread([this] { Serve(); });
  }
  ~BareServer() {
    stop_ = true;
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
    SSL_CTX_free(context_);
  }
  Address GetAddress() const {
    return Address(static_cast<uint16_t>(port_), "127.0.0.1");
  }

 private:
  void Serve() {
    char code[record_format::kUserDataLength];
    record_format::EncodeReturnCode(2004, code);
    static const char kText[] = "\nSTATUS 04\n";
    const std::string reply =
        record_format::EncodeDataRecord(code, kText, sizeof kText - 1);
    while (!stop_) {
      int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      SSL* ssl = SSL_new(context_);
      SSL_set_fd(ssl, fd);
      if (SSL_accept(ssl) == 1 && ReadRecord(ssl)) {
        SSL_write(ssl, reply.data(), static_cast<int>(reply.size()));
        SSL_shutdown(ssl);
      }
      SSL_free(ssl);
      close(fd);
    }
  }
  static bool ReadRecord(SSL* ssl) {
    char buffer[4096];
    size_t have = 0;
    size_t want = record_format::kHeaderLength;
    while (have < want && have < sizeof buffer) {
      int n = SSL_read(ssl, buffer + have, static_cast<int>(want - have));
      if (n <= 0) return false;
      have += static_cast<size_t>(n);
      uint32_t length = 0;
      if (want == record_format::kHeaderLength && have == want &&
          record_format::JudgeHeader(buffer, record_format::kMaxDataLength,
                                     &length) ==
              record_format::HeaderVerdict::kData) {
        want += length;
      }
    }
    return have == want;
  }

  SSL_CTX* context_;
  int port_ = 0;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

int SessionsBench(const Options& options,
                  const tls_test::TestCertificates& certificates) {
  e2e::Sandbox box;
  // Enough connections from one address for the parallel clients.
  const std::vector<std::string> args = {"-persource", "1000"};
  bench::Gateway clear(box, options.programs, "clear", {}, args);
  bench::Gateway secured(box, options.programs, "tls",
                         {"TARPON_TLS_CERT=" + certificates.Path("gateway.pem"),
                          "TARPON_TLS_KEY=" + certificates.Path("gateway.key")},
                         args);
  std::unique_ptr<TlsContext> tls;
  {
    tls_test::TlsEnvironment env(
        {{"TARPON_TLS_CA", certificates.Path("ca.pem")},
         {"TARPON_TLS_CERT", ""},
         {"TARPON_TLS_KEY", ""}});
    std::string error;
    tls = TlsContext::ClientFromEnvironment(&error);
  }
  if (!clear.Started() || !secured.Started() || !tls) {
    std::fprintf(stderr, "tls_bench: a gateway did not start\n");
    return 1;
  }
  Figures plain;
  Figures encrypted;
  Figures bare;
  BareServer yardstick(certificates);
  Sequential(AddressOf(clear), nullptr, 100, &plain);
  Sequential(AddressOf(secured), tls.get(), 100, &encrypted);
  Sequential(yardstick.GetAddress(), tls.get(), 100, &bare);
  plain = Figures();
  encrypted = Figures();
  bare = Figures();
  for (int round = 0; round < options.rounds; ++round) {
    Sequential(AddressOf(clear), nullptr, options.sessions, &plain);
    Sequential(AddressOf(secured), tls.get(), options.sessions, &encrypted);
    Sequential(yardstick.GetAddress(), tls.get(), options.sessions, &bare);
    Parallel(AddressOf(clear), nullptr, options.sessions * 4, &plain);
    Parallel(AddressOf(secured), tls.get(), options.sessions * 4, &encrypted);
  }
  double sequential = Median(plain.sequential);
  double parallel = Median(plain.parallel);
  std::printf("\n### Gateway sessions over TLS against clear text\n\n");
  std::printf(
      "%d rounds; a round is %ld refused changes from one client in "
      "sequence and %ld from 64 clients at once.\n\n",
      options.rounds, options.sessions, options.sessions * 4 / 64 * 64);
  std::printf(
      "| | sequential sessions/s | of clear | 64 clients, "
      "sessions/s | of clear | failed |\n");
  std::printf("|---|---:|---:|---:|---:|---:|\n");
  for (const auto& row : {std::make_pair("clear text", &plain),
                          std::make_pair("TLS 1.3", &encrypted)}) {
    double s = Median(row.second->sequential);
    double p = Median(row.second->parallel);
    std::printf("| %s | %.0f | %.2f | %.0f | %.2f | %ld |\n", row.first, s,
                s / sequential, p, p / parallel, row.second->failed);
  }
  const double yard = Median(bare.sequential);
  std::printf(
      "| a bare OpenSSL server, no tickets, no engine | %.0f | gateway "
      "TLS: %.2f of it | | | %ld |\n",
      yard, Median(encrypted.sequential) / yard, bare.failed);
  std::printf(
      "\nThe handshake (connect to handshake done, in the client) takes "
      "%.0f%% of a sequential TLS session.\n",
      100 * encrypted.handshakeSeconds / encrypted.sessionSeconds);
  std::fflush(stdout);
  return plain.failed + encrypted.failed == 0 ? 0 : 1;
}

// Runs both ends' handshakes in turn until both are done; false on a
// failure.
bool Handshake(SSL* client, SSL* server) {
  bool clientDone = false;
  bool serverDone = false;
  for (int step = 0; step < 100 && !(clientDone && serverDone); ++step) {
    if (!clientDone) {
      int rc = SSL_do_handshake(client);
      clientDone = rc == 1;
      if (rc != 1 && SSL_get_error(client, rc) != SSL_ERROR_WANT_READ) {
        return false;
      }
    }
    if (!serverDone) {
      int rc = SSL_do_handshake(server);
      serverDone = rc == 1;
      if (rc != 1 && SSL_get_error(server, rc) != SSL_ERROR_WANT_READ) {
        return false;
      }
    }
  }
  return clientDone && serverDone;
}

// count handshakes; with tickets the server sends them and the client
// reads them. The handshakes per second, or 0 on a failure.
double Handshakes(const TlsContext& clientTls, const TlsContext& serverTls,
                  int tickets, int count) {
  SSL_CTX_set_num_tickets(serverTls.Native(), static_cast<size_t>(tickets));
  SSL_CTX_set_session_cache_mode(serverTls.Native(), tickets > 0
                                                         ? SSL_SESS_CACHE_SERVER
                                                         : SSL_SESS_CACHE_OFF);
  SSL_CTX_set_session_id_context(
      serverTls.Native(), reinterpret_cast<const unsigned char*>("b"), 1);
  double start = Seconds();
  int done = 0;
  for (int i = 0; i < count; ++i) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair) != 0) break;
    SSL* client = SSL_new(clientTls.Native());
    SSL* server = SSL_new(serverTls.Native());
    SSL_set_fd(client, pair[0]);
    SSL_set_fd(server, pair[1]);
    SSL_set_connect_state(client);
    SSL_set_accept_state(server);
    SSL_set1_host(client, "localhost");
    bool ok = Handshake(client, server);
    // One byte each way: the client takes the tickets on its way to it.
    char byte = 'x';
    size_t moved = 0;
    ok = ok && SSL_write_ex(server, &byte, 1, &moved) == 1 &&
         SSL_read_ex(client, &byte, 1, &moved) == 1;
    SSL_free(client);
    SSL_free(server);
    close(pair[0]);
    close(pair[1]);
    if (!ok) break;
    ++done;
  }
  double seconds = Seconds() - start;
  return done == count ? count / seconds : 0;
}

int HandshakeBench(const Options& options,
                   const tls_test::TestCertificates& certificates) {
  std::unique_ptr<TlsContext> clientTls;
  std::unique_ptr<TlsContext> serverTls;
  std::string error;
  {
    tls_test::TlsEnvironment env(
        {{"TARPON_TLS_CA", certificates.Path("ca.pem")},
         {"TARPON_TLS_CERT", certificates.Path("gateway.pem")},
         {"TARPON_TLS_KEY", certificates.Path("gateway.key")},
         {"TARPON_TLS_CLIENT_CA", ""}});
    serverTls = TlsContext::ServerFromEnvironment(&error);
    tls_test::TlsEnvironment noCertificate(
        {{"TARPON_TLS_CERT", ""}, {"TARPON_TLS_KEY", ""}});
    clientTls = TlsContext::ClientFromEnvironment(&error);
  }
  if (!clientTls || !serverTls) {
    std::fprintf(stderr, "tls_bench: %s\n", error.c_str());
    return 1;
  }
  struct Row {
    const char* name;
    int tickets;
    std::vector<double> rates;
  };
  Row rows[] = {
      {"no tickets (the gateway)", 0, {}},
      {"2 tickets (the library's default)", 2, {}},
  };
  const int count = static_cast<int>(options.sessions);
  for (int round = 0; round < options.rounds; ++round) {
    for (Row& row : rows) {
      row.rates.push_back(
          Handshakes(*clientTls, *serverTls, row.tickets, count));
    }
  }
  std::printf("\n### TLS handshakes in-process (both ends, one thread)\n\n");
  std::printf("%d rounds of %d handshakes and one byte each way.\n\n",
              options.rounds, count);
  std::printf("| handshake | per second | of the gateway's |\n");
  std::printf("|---|---:|---:|\n");
  double base = Median(rows[0].rates);
  bool failed = false;
  for (const Row& row : rows) {
    double rate = Median(row.rates);
    failed = failed || rate == 0;
    std::printf("| %s | %.0f | %.2f |\n", row.name, rate,
                base > 0 ? rate / base : 0.0);
  }
  std::fflush(stdout);
  return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.programs = bench::OwnFolder() + "/../programs";
  if (!bench::ParseOptions(
          argc, argv,
          {bench::Text("--programs", &options.programs),
           bench::Whole("--rounds", &options.rounds, 1, 100),
           bench::Whole("--sessions", &options.sessions, 64, 1000000)})) {
    std::fprintf(stderr,
                 "usage: tls_bench [--rounds N] [--sessions N (64 or "
                 "more)] [--programs DIR]\n");
    return 2;
  }
  WSA wsa(1, 1);
  tls_test::TestCertificates certificates;
  if (!certificates.Ok()) {
    std::fprintf(stderr, "tls_bench: cannot make certificates (openssl)\n");
    return 1;
  }
  int failures = SessionsBench(options, certificates);
  failures += HandshakeBench(options, certificates);
  return failures == 0 ? 0 : 1;
}
