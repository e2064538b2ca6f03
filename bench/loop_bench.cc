// loop_bench: whether anything makes the gateway's loop wait.
//
//   flood     40 loopback addresses, 10 connections each, looping full TLS
//             handshakes at a TLS gateway, while one honest client makes
//             refused changes one after another over TLS (and, at a second
//             gateway in clear text, in clear text): the honest client's
//             p50 and p99 alone and under the flood, and the handshakes a
//             second the flooded gateway completed.
//   lock      help requests while another process holds the host
//             database's lock: alone, and behind a change that waits for
//             the lock.
//   refusals  one address reconnecting as fast as it can beyond its cap:
//             the log's growth in bytes a second.
//
//   loop_bench [--only flood|lock|refusals] [--changes N] [--seconds N]
//              [--programs DIR]
//
// Certificates are made in a temporary folder; all traffic goes to
// loopback addresses; every loop has a fixed count or a deadline.
#include <fcntl.h>
#include <openssl/ssl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "comm/address.h"
#include "comm/client.h"
#include "comm/tls.h"
#include "comm/wsa.h"
#include "tests/support/gateway_support.h"
#include "tests/support/tls_test_support.h"

namespace {

using bench::Seconds;

struct Options {
  std::string only;
  int changes = 100;
  int seconds = 5;
  std::string programs;
};

// One request; its seconds, or -1 when no reply with the code came.
double Request(int port, const TlsContext* tls, const char* options,
               const char* code) {
  double start = Seconds();
  Client client(Address(static_cast<uint16_t>(port), "127.0.0.1"), 30);
  if (client.IsGood() && tls != nullptr) client.StartTls(*tls, "127.0.0.1");
  if (!client.IsGood() || client.SendRecord(options) != Client::COMM_OK) {
    return -1;
  }
  char reply[8192];
  uint32_t length = 0;
  if (client.ReceiveRecord(reply, &length) != Client::COMM_OK ||
      std::strncmp(client.GetUserData(), code, 4) != 0) {
    return -1;
  }
  return Seconds() - start;
}

using bench::Percentile;

// The honest client's refused changes: p50 and p99 in ms, and failures.
void Honest(const char* what, int port, const TlsContext* tls, int count) {
  std::vector<double> times;
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    double seconds = Request(port, tls, bench::kRefusedChange, "2004");
    if (seconds < 0) {
      ++failed;
    } else {
      times.push_back(seconds * 1000);
    }
  }
  std::printf("| %s | %.2f | %.2f | %.2f | %d |\n", what,
              Percentile(times, 0.5), Percentile(times, 0.99),
              Percentile(times, 1.0), failed);
}

// Loops full handshakes from source at port until stop; counts them. The
// flood's threads run at the lowest priority: its machines would be
// others than the gateway's and the honest client's, which here share two
// processors with it.
void Handshaker(const std::string& source, int port, SSL_CTX* context,
                const std::atomic<bool>* stop, std::atomic<long>* done) {
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
  while (!*stop) {
    int fd = e2e::ConnectFrom(source, port);
    if (fd < 0) continue;
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) == 1) ++*done;
    SSL_free(ssl);
    close(fd);
  }
}

int Flood(const Options& options) {
  tls_test::TestCertificates certificates;
  if (!certificates.Ok()) return 1;
  e2e::Sandbox box;
  bench::Gateway clear(box, options.programs, "clear");
  bench::Gateway secured(
      box, options.programs, "tls",
      {"TARPON_TLS_CERT=" + certificates.Path("gateway.pem"),
       "TARPON_TLS_KEY=" + certificates.Path("gateway.key")});
  std::string error;
  setenv("TARPON_TLS_CA", certificates.Path("ca.pem").c_str(), 1);
  std::unique_ptr<TlsContext> tls = TlsContext::ClientFromEnvironment(&error);
  if (!clear.Started() || !secured.Started() || !tls) {
    std::fprintf(stderr, "loop_bench: gateways did not start %s\n",
                 error.c_str());
    return 1;
  }
  // The flood does not verify: its cost is the gateway's, not its own.
  SSL_CTX* flood = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_verify(flood, SSL_VERIFY_NONE, nullptr);
  std::printf("\n### Honest changes under a TLS handshake flood\n\n");
  std::printf("| honest client | p50 ms | p99 ms | max ms | failed |\n");
  std::printf("|---|---:|---:|---:|---:|\n");
  Honest("TLS, alone", secured.Port(), tls.get(), options.changes);
  Honest("clear text, alone", clear.Port(), nullptr, options.changes);
  std::atomic<bool> stop(false);
  std::atomic<long> handshakes(0);
  std::vector<std::thread> flooders;
  for (int address = 1; address <= 40; ++address) {
    for (int connection = 0; connection < 10; ++connection) {
      flooders.emplace_back(Handshaker, "127.0.1." + std::to_string(address),
                            secured.Port(), flood, &stop, &handshakes);
    }
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  long before = handshakes;
  double start = Seconds();
  Honest("TLS, under the flood", secured.Port(), tls.get(), options.changes);
  Honest("clear text, under the flood", clear.Port(), nullptr, options.changes);
  double seconds = Seconds() - start;
  long completed = handshakes - before;
  stop = true;
  for (std::thread& flooder : flooders) flooder.join();
  SSL_CTX_free(flood);
  std::printf("\nThe flood's handshakes completed: %.0f a second.\n",
              completed / seconds);
  return 0;
}

int Lock(const Options& options) {
  e2e::Sandbox box;
  bench::Gateway gateway(box, options.programs, "gateway");
  if (!gateway.Started()) return 1;
  int lock = open(box.Path("users.db.lock").c_str(),
                  O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) return 1;
  std::printf("\n### Help requests while the database lock is held\n\n");
  std::printf("| help request | p50 ms | max ms | failed |\n");
  std::printf("|---|---:|---:|---:|\n");
  auto helps = [&](const char* what, int count) {
    std::vector<double> times;
    int failed = 0;
    for (int i = 0; i < count; ++i) {
      double seconds =
          Request(gateway.Port(), nullptr, bench::kHelpRequest, "0004");
      if (seconds < 0) {
        ++failed;
      } else {
        times.push_back(seconds * 1000);
      }
    }
    std::printf("| %s | %.2f | %.2f | %d |\n", what, Percentile(times, 0.5),
                Percentile(times, 1.0), failed);
  };
  helps("alone, lock held", 20);
  std::thread change([&] {
    Request(gateway.Port(), nullptr, "-u ALICE -p SECRET1 -np NEWPW1 -s hosta",
            "2007");
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  helps("behind a change waiting for the lock", 1);
  change.join();
  flock(lock, LOCK_UN);
  close(lock);
  return 0;
}

int Refusals(const Options& options) {
  e2e::Sandbox box;
  bench::Gateway gateway(box, options.programs, "gateway", {},
                         {"-persource", "1"});
  if (!gateway.Started()) return 1;
  int held = e2e::ConnectFrom("127.0.2.1", gateway.Port());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  struct stat before = {};
  stat(box.Path("gateway.log").c_str(), &before);
  long connections = 0;
  double start = Seconds();
  while (Seconds() - start < options.seconds) {
    int fd = e2e::ConnectFrom("127.0.2.1", gateway.Port());
    if (fd < 0) continue;
    char byte;
    recv(fd, &byte, 1, 0);  // the gateway's close
    close(fd);
    ++connections;
  }
  double seconds = Seconds() - start;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  struct stat after = {};
  stat(box.Path("gateway.log").c_str(), &after);
  close(held);
  std::printf("\n### A refusal flood from one address\n\n");
  std::printf("| connections refused a second | log bytes a second |\n");
  std::printf("|---:|---:|\n| %.0f | %.1f |\n", connections / seconds,
              (after.st_size - before.st_size) / seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.programs = bench::OwnFolder() + "/../programs";
  if (!bench::ParseOptions(
          argc, argv,
          {bench::Text("--only", &options.only),
           bench::Whole("--changes", &options.changes, 1, 1000000),
           bench::Whole("--seconds", &options.seconds, 1, 3600),
           bench::Text("--programs", &options.programs)})) {
    std::fprintf(stderr,
                 "usage: loop_bench [--only flood|lock|refusals] "
                 "[--changes N] [--seconds N] [--programs DIR]\n");
    return 2;
  }
  // A flooder's peer may close first: a write to it must not end the run.
  signal(SIGPIPE, SIG_IGN);
  WSA wsa(1, 1);
  int rc = 0;
  if (options.only.empty() || options.only == "flood") rc |= Flood(options);
  if (options.only.empty() || options.only == "lock") rc |= Lock(options);
  if (options.only.empty() || options.only == "refusals") {
    rc |= Refusals(options);
  }
  return rc;
}
