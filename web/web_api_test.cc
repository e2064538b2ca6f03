// The JSON API of the real tarpon-web against the real tarpons and the
// emulated node on loopback, through an ordinary HTTPS client: one table
// of requests and the status, return code and change each must give.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/gateway_support.h"
#include "tests/support/http_support.h"
#include "tests/support/tls_test_support.h"
#include "web/problem_details.h"

namespace {

using Args = std::vector<std::string>;

const char kUsers[] = "ALICE SECRET1\nBOB PASSW0RD\n";

// A listening socket on a free loopback port that accepts nothing: a
// connection waits in its backlog and never gets an answer.
struct SilentListener {
  SilentListener() {
    port = e2e::FreeLoopbackPort();
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(fd, 16);
  }
  ~SilentListener() { close(fd); }
  // Accepts one connection within timeoutMs and closes it at once.
  void AcceptAndClose(int timeoutMs) {
    pollfd wait = {fd, POLLIN, 0};
    if (poll(&wait, 1, timeoutMs) == 1) close(accept(fd, nullptr, nullptr));
  }
  int port = -1;
  int fd = -1;
};

class WebApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(certificates_.Ok());
    box_.Write("sna-node.conf", e2e::kGatewayNodeConfig);
    box_.Write("users.db", kUsers);
    chmod(box_.Path("users.db").c_str(), 0600);
    int gatewayPort = e2e::FreeLoopbackPort();
    box_.Write("services",
               "tarponGateway " + std::to_string(gatewayPort) +
                   "/tcp\nsilentGateway " + std::to_string(silent_.port) +
                   "/tcp\nclosingGateway " + std::to_string(closing_.port) +
                   "/tcp\ndeadGateway " +
                   std::to_string(e2e::FreeLoopbackPort()) +
                   "/tcp\nunlistedGateway " +
                   std::to_string(e2e::FreeLoopbackPort()) + "/tcp\n");
    env_ = {"TARPON_SNA_NODE=" + box_.Path("sna-node.conf"),
            "TARPON_SERVICES=" + box_.Path("services")};
    // The web server's connections begin with a PROXY header naming the
    // browser.
    gateway_ = e2e::StartGateway(e2e::BinDir() + "/tarpons", box_, "gateway",
                                 env_, {"-proxy-from", "127.0.0.1"});
    ASSERT_TRUE(gateway_) << box_.Read("gateway.err");
  }

  // A tarpon-web for the gateway named by service; its port.
  int StartWeb(const std::string& service, const Args& more = {}) {
    int port = e2e::FreeLoopbackPort();
    Args args = {
        "-listen",       "127.0.0.1:" + std::to_string(port),
        "-cert",         certificates_.Path("gateway.pem"),
        "-key",          certificates_.Path("gateway.key"),
        "-gateway",      "127.0.0.1:" + service,
        "-destinations", "hosta=Host A",
        "-assets",       std::string(TARPON_SOURCE_DIR) + "/web/assets",
        "-timeout",      "1"};
    args.insert(args.end(), more.begin(), more.end());
    webs_.push_back(std::make_unique<e2e::Background>(
        e2e::BinDir() + "/tarpon-web", args, env_, box_.Path(service + ".out"),
        box_.Path(service + ".err")));
    EXPECT_TRUE(e2e::WaitForPort(port, 10000)) << box_.Read(service + ".err");
    return port;
  }

  tls_test::TestCertificates certificates_;
  e2e::Sandbox box_;
  SilentListener silent_, closing_;
  Args env_;
  std::unique_ptr<e2e::Background> gateway_;
  std::vector<std::unique_ptr<e2e::Background>> webs_;
};

// A TCP connection to 127.0.0.1:port from another loopback address, held
// open without a byte sent; -1 when it cannot connect.
int ConnectFrom(const char* source, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, source, &address.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string Post(const std::string& body,
                 const std::string& type = "application/json",
                 const std::string& extra = "") {
  return "POST /api/v1/password-change HTTP/1.1\r\nHost: 127.0.0.1\r\n"
         "Content-Type: " +
         type + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
         extra + "Connection: close\r\n\r\n" + body;
}

std::string Change(const std::string& user, const std::string& current,
                   const std::string& next) {
  return nlohmann::json{
      {"user", user}, {"currentPassword", current}, {"newPassword", next}}
      .dump();
}

// Every answer but 200 is a problem: its reason, its status, and the
// engine's code only where the gateway was asked.
TEST_F(WebApiTest, AnswersEachCaseWithItsStatusReasonAndCode) {
  int web = StartWeb("tarponGateway");
  int silent = StartWeb("silentGateway");
  int closing = StartWeb("closingGateway");
  int dead = StartWeb("deadGateway");
  const std::string good = Change("alice", "SECRET1", "AFTER1");
  std::string fields;
  for (int i = 0; i < 70; ++i)
    fields += "X-Field: " + std::to_string(i) + "\r\n";
  struct Case {
    const char* what;
    int port;
    std::string request;
    int status;
    const char* reason;  // "" for 200
    int code;            // -1: none in the answer
  };
  const Case cases[] = {
      {"wrong password", web, Post(Change("alice", "WRONG1", "AFTER1")), 422,
       "credentials_not_accepted", 2002},
      // Refused by the gateway before the host, and not counted against
      // the user ID: the right change below still goes through.
      {"a sequence for a new password", web,
       Post(Change("alice", "SECRET1", "ABCDEFGH")), 422, "new_password_common",
       31},
      {"the user ID in the new password", web,
       Post(Change("alice", "SECRET1", "ALICE9")), 422, "new_password_context",
       32},
      {"unknown user", web, Post(Change("nobody", "SECRET1", "AFTER1")), 422,
       "credentials_not_accepted", 2002},
      {"wrong password again", web, Post(Change("nobody", "WRONG1", "AQ7X")),
       422, "credentials_not_accepted", 2002},
      {"a held user ID", web, Post(Change("nobody", "SECRET1", "AQ7X")), 429,
       "account_throttled", 30},
      {"missing field", web, Post(R"({"user":"alice","currentPassword":"X"})"),
       400, "missing_field", -1},
      {"password too long", web, Post(Change("alice", "SECRET1", "NINECHARS")),
       400, "too_long", -1},
      {"a blank in a password", web,
       Post(Change("alice", "SECRET1", "A -cpic")), 400, "bad_character", -1},
      {"a blank in the user ID", web,
       Post(Change("alice PW", "SECRET1", "AFTER1")), 400, "bad_character", -1},
      {"a number for a string", web,
       Post(R"({"user":"alice","currentPassword":1,"newPassword":"B"})"), 400,
       "malformed_json", -1},
      {"unknown destination", web,
       Post(R"({"user":"alice","currentPassword":"SECRET1",)"
            R"("newPassword":"AFTER1","destination":"hostz"})"),
       400, "unknown_destination", -1},
      {"malformed JSON", web, Post("{\"user\": \"alice\""), 400,
       "malformed_json", -1},
      {"a 2 MB body, read and dropped to deliver the answer", web,
       Post(std::string(2 << 20, ' ') + good), 413, "too_large", -1},
      {"another content type", web, Post(good, "text/plain"), 415,
       "unsupported_media_type", -1},
      {"70 header fields", web, Post(good, "application/json", fields), 431,
       "too_large", -1},
      {"another site's origin", web,
       Post(good, "application/json", "Origin: https://evil.example\r\n"), 403,
       "cross_site", -1},
      {"a foreign origin typed in", web,
       Post(good, "application/json",
            "Sec-Fetch-Site: none\r\nOrigin: https://evil.example\r\n"),
       403, "cross_site", -1},
      {"a password typed into the user field", web,
       Post(Change("alice SECRET1", "SECRET1", "AFTER1")), 400, "too_long", -1},
      {"a cross-site fetch", web,
       Post(good, "application/json", "Sec-Fetch-Site: cross-site\r\n"), 403,
       "cross_site", -1},
      {"an Idempotency-Key of 256 characters", web,
       Post(good, "application/json",
            "Idempotency-Key: " + std::string(256, 'k') + "\r\n"),
       400, "bad_idempotency_key", -1},
      {"a GET of the change", web,
       "GET /api/v1/password-change HTTP/1.1\r\nHost: 127.0.0.1\r\n"
       "Connection: close\r\n\r\n",
       405, "method_not_allowed", -1},
      {"a path the API does not have", web,
       "GET /api/v1/nothing HTTP/1.1\r\nHost: 127.0.0.1\r\n"
       "Connection: close\r\n\r\n",
       404, "not_found", -1},
      {"gateway unreachable", dead, Post(good), 502, "gateway_unreachable",
       100},
      {"gateway silent", silent, Post(good), 504, "gateway_timeout", 100},
      {"gateway closes", closing, Post(good), 503, "source_throttled", 100},
      {"the current password as the new one", web,
       Post(Change("alice", "SECRET1", "SECRET1")), 422,
       "new_password_not_accepted", 2004},
      {"changed", web, Post(good), 200, "", 0},
  };
  std::string wrongPasswordBody;  // the first case's
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::thread closer;
    if (c.port == closing) {
      closer = std::thread([this] { closing_.AcceptAndClose(5000); });
    }
    http_test::HttpAnswer answer = http_test::HttpsExchange(
        static_cast<uint16_t>(c.port), c.request, 10000);
    if (closer.joinable()) closer.join();
    ASSERT_TRUE(answer.answered);
    EXPECT_EQ(c.status, answer.status);
    if (wrongPasswordBody.empty()) wrongPasswordBody = answer.body;
    nlohmann::json body = nlohmann::json::parse(answer.body, nullptr, false);
    EXPECT_EQ(c.code, body.value("code", -1)) << answer.body;
    if (c.status == 200) {
      EXPECT_EQ("application/json", answer.contentType);
      EXPECT_TRUE(body.value("changed", false));
      EXPECT_FALSE(body.value("message", "").empty());
    } else {
      EXPECT_EQ("application/problem+json", answer.contentType);
      EXPECT_EQ(c.reason, body.value("reason", "")) << answer.body;
      EXPECT_EQ("https://tarpon.invalid/problems/" + std::string(c.reason),
                body.value("type", ""));
      EXPECT_EQ(c.status, body.value("status", 0));
      EXPECT_FALSE(body.value("title", "").empty());
      EXPECT_FALSE(body.value("detail", "").empty());
      EXPECT_FALSE(body.contains("changed"));
    }
    EXPECT_EQ(c.status == 503   ? "30"
              : c.status == 429 ? "3600"
                                : "",
              answer.retryAfter);
    // Nothing tells an unknown user ID from a wrong password.
    if (c.reason == std::string("credentials_not_accepted")) {
      EXPECT_FALSE(body.contains("hostText"));
      EXPECT_EQ(body.value("detail", ""),
                nlohmann::json::parse(wrongPasswordBody).value("detail", ""));
    }
    // Only the last case may change the password.
    EXPECT_EQ(c.status == 200,
              box_.Read("users.db").find("ALICE     AFTER1") == 0);
  }
  // The gateway counted the browser, not the web server.
  EXPECT_TRUE(e2e::WaitForText(box_, "gateway.log",
                               "IP(127.0.0.1) via(127.0.0.1)", 5000));
  // One audit line per attempt that reached the checks, never a password.
  std::string audit = box_.Read("tarponGateway.out");
  EXPECT_NE(std::string::npos,
            audit.find("client=127.0.0.1 user=ALICE destination=hosta "
                       "outcome=changed code=0"));
  // A user ID the host did not recognise is kept as a keyed hash only.
  EXPECT_NE(std::string::npos, audit.find(" user=#"));
  EXPECT_EQ(std::string::npos, audit.find("user=NOBODY"));
  for (const char* secret : {"SECRET1", "AFTER1", "WRONG1"}) {
    EXPECT_EQ(std::string::npos, audit.find(secret)) << secret;
  }
}

TEST_F(WebApiTest, ServesThePageDocumentsAndMetrics) {
  int metrics = e2e::FreeLoopbackPort();
  int plain = e2e::FreeLoopbackPort();
  int web = StartWeb("tarponGateway",
                     {"-metrics", "127.0.0.1:" + std::to_string(metrics),
                      "-http", "127.0.0.1:" + std::to_string(plain)});
  auto send = [web](const std::string& method, const std::string& path) {
    return http_test::HttpsExchange(
        static_cast<uint16_t>(web),
        method + " " + path +
            " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            "Accept-Language: fr, de-CH;q=0.9, en;q=0.5\r\n"
            "Content-Length: 0\r\nConnection: close\r\n\r\n");
  };
  http_test::HttpAnswer page = send("GET", "/?user=%3Cb%3E");
  EXPECT_EQ(200, page.status);
  EXPECT_NE(std::string::npos,
            page.body.find("<html lang=\"fr\" dir=\"ltr\">"));
  EXPECT_NE(std::string::npos, page.body.find("value=\"&lt;b&gt;\""));
  // Each page has a key of its own for the form's retries.
  auto formKey = [](const std::string& body) {
    size_t at = body.find("name=\"idempotencyKey\" value=\"");
    return at == std::string::npos ? "" : body.substr(at + 29, 32);
  };
  EXPECT_EQ(std::string::npos,
            formKey(page.body).find_first_not_of("0123456789abcdef"));
  EXPECT_NE(formKey(page.body), formKey(send("GET", "/").body));
  EXPECT_EQ(200, send("GET", "/healthz").status);
  nlohmann::json openapi =
      nlohmann::json::parse(send("GET", "/api/v1/openapi.json").body);
  EXPECT_EQ("3.1.0", openapi.value("openapi", ""));
  // The document lists the reasons the server gives, no more, no fewer.
  EXPECT_EQ(nlohmann::json(AllReasons()),
            openapi["components"]["schemas"]["Problem"]["properties"]["reason"]
                   ["enum"]);
  // A password manager's well-known path leads to the page, over HTTPS
  // and from the plain port.
  EXPECT_NE(std::string::npos, send("GET", "/.well-known/change-password")
                                   .fields.find("Location: /\r\n"));
  http_test::HttpAnswer moved = http_test::HttpExchange(
      static_cast<uint16_t>(plain),
      "GET /.well-known/change-password HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_EQ(302, moved.status);
  EXPECT_NE(std::string::npos,
            moved.fields.find("Location: https://127.0.0.1:" +
                              std::to_string(web) + "/\r\n"));
  struct Case {
    const char* method;
    const char* path;
    int status;
    const char* allow;
  };
  const Case cases[] = {
      {"GET", "/nothing", 404, ""},
      {"GET", "/metrics", 404, ""},  // only on its own listener
      {"POST", "/healthz", 405, "GET, HEAD"},
      {"DELETE", "/", 405, "GET, HEAD, POST"},
      {"GET", "/api/v1/password-change", 405, "POST"},
      {"HEAD", "/.well-known/change-password", 302, ""},
      {"GET", "/?user=AL%00ICE", 200, ""},  // the page, told it is malformed
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path);
    http_test::HttpAnswer answer = send(c.method, c.path);
    EXPECT_EQ(c.status, answer.status);
    EXPECT_EQ(c.allow, answer.allow);
    for (const char* field :
         {"Permissions-Policy: ", "Cross-Origin-Opener-Policy: same-origin",
          "Cross-Origin-Resource-Policy: same-origin"}) {
      EXPECT_NE(std::string::npos, answer.fields.find(field)) << field;
    }
  }
  EXPECT_EQ(std::string::npos,
            send("GET", "/?user=AL%00ICE").body.find("value=\"AL\""));
  // A HEAD's answer has no body: the next answer on the connection is read
  // right after its head.
  std::string both = http_test::HttpsRaw(
      static_cast<uint16_t>(web),
      "HEAD /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
      "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  size_t end = both.find("\r\n\r\n");
  ASSERT_NE(std::string::npos, end);
  EXPECT_NE(std::string::npos, both.find("Content-Length: 3\r\n"));
  EXPECT_EQ(0u, both.find("HTTP/1.1 200", 0));
  EXPECT_EQ(end + 4, both.find("HTTP/1.1 200", end));
  EXPECT_EQ("ok\n", both.substr(both.size() - 3));
  http_test::HttpAnswer scraped = http_test::HttpExchange(
      static_cast<uint16_t>(metrics),
      "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_NE(std::string::npos, scraped.body.find("tarpon_web_changes_total"));
  for (const char* sample :
       {"tarpon_web_build_info{version=", "\nprocess_cpu_seconds_total ",
        "\nprocess_resident_memory_bytes ", "\nprocess_open_fds ",
        "\nprocess_start_time_seconds "}) {
    EXPECT_NE(std::string::npos, scraped.body.find(sample)) << sample;
  }
}

// -log-format json: the audit line and the other lines are JSON objects
// with the gateway's field names, the change named by its operation.
TEST_F(WebApiTest, JsonLogsNameEachChange) {
  int web = StartWeb("tarponGateway", {"-log-format", "json"});
  http_test::HttpAnswer answer = http_test::HttpsExchange(
      static_cast<uint16_t>(web), Post(Change("ALICE", "SECRET1", "JSONPW1")));
  EXPECT_EQ(200, answer.status) << answer.body;
  ASSERT_TRUE(e2e::WaitForText(box_, "tarponGateway.out", "\n", 5000));
  nlohmann::json change = nlohmann::json::parse(box_.Read("tarponGateway.out"));
  EXPECT_EQ("tarpon-web", change.value("program", ""));
  EXPECT_EQ("change", change.value("event", ""));
  EXPECT_EQ("ALICE", change.value("user", ""));
  EXPECT_EQ("hosta", change.value("destination", ""));
  EXPECT_EQ("changed", change.value("outcome", ""));
  EXPECT_EQ(0, change.value("code", -1));
  EXPECT_EQ(24u, change.value("time", "").size());
  EXPECT_EQ('Z', change.value("time", " ").back());
  EXPECT_EQ(23u, change.value("operation", "").size());
  std::string notices = box_.Read("tarponGateway.err");
  EXPECT_NE(std::string::npos,
            notices.find("\"event\":\"notice\",\"message\":\"serving HTTPS on "
                         "127.0.0.1 port " +
                         std::to_string(web) +
                         "; gateway 127.0.0.1:tarponGateway\"}\n"))
      << notices;
  EXPECT_EQ(std::string::npos, notices.find("tarpon-web: ")) << notices;
}

// /healthz says the process lives; /readyz that the gateway answers, and
// 503 once it does not: on the HTTPS port and on the plain one, which
// answers both without a redirect.
TEST_F(WebApiTest, ReadinessFollowsTheGateway) {
  int plain = e2e::FreeLoopbackPort();
  int web = StartWeb("tarponGateway",
                     {"-http", "127.0.0.1:" + std::to_string(plain)});
  int dead = StartWeb("deadGateway");
  auto ask = [](int port, bool tls, const std::string& path) {
    std::string request = "GET " + path +
                          " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                          "Connection: close\r\n\r\n";
    return tls ? http_test::HttpsExchange(static_cast<uint16_t>(port), request)
               : http_test::HttpExchange(static_cast<uint16_t>(port), request);
  };
  struct Case {
    int port;
    bool tls;
    const char* path;
    int status;
    const char* body;
  };
  const Case running[] = {
      {web, true, "/healthz", 200, "ok\n"},
      {web, true, "/readyz", 200, "ready\n"},
      {plain, false, "/healthz", 200, "ok\n"},
      {plain, false, "/readyz", 200, "ready\n"},
      {dead, true, "/healthz", 200, "ok\n"},
      {dead, true, "/readyz", 503, "not ready: no gateway answers"},
  };
  for (const Case& c : running) {
    SCOPED_TRACE(std::to_string(c.port) + c.path);
    http_test::HttpAnswer answer = ask(c.port, c.tls, c.path);
    EXPECT_EQ(c.status, answer.status) << answer.body;
    EXPECT_EQ(0u, answer.body.find(c.body)) << answer.body;
  }
  // The gateway stops: the verdict, kept a second, turns.
  gateway_.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  for (int port : {web, plain}) {
    http_test::HttpAnswer answer = ask(port, port == web, "/readyz");
    EXPECT_EQ(503, answer.status) << answer.body;
    EXPECT_EQ(200, ask(port, port == web, "/healthz").status);
  }
}

// One destination's rules, narrower than the host's: the same data in the
// API's list, in the page's fields and script data, and in the server's
// check before the gateway.
TEST_F(WebApiTest, TakesADestinationsRulesFromItsConfiguration) {
  int web = StartWeb("tarponGateway",
                     {"-rules",
                      "hosta=minlength: 6; maxlength: 7; required: digit; "
                      "allowed: upper, digit; note: <Yearly>"});
  auto get = [web](const std::string& path) {
    return http_test::HttpsExchange(
        static_cast<uint16_t>(web),
        "GET " + path +
            " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  };
  const std::string hint =
      "minlength: 6; maxlength: 7; required: digit; allowed: upper, digit;";
  http_test::HttpAnswer list = get("/api/v1/destinations");
  EXPECT_EQ("application/json", list.contentType);
  nlohmann::json all = nlohmann::json::parse(list.body, nullptr, false);
  EXPECT_EQ(8, all["hostField"].value("maxLength", 0));
  nlohmann::json first = all["destinations"][0];
  EXPECT_EQ("Host A", first.value("label", ""));
  EXPECT_TRUE(first.value("default", false));
  nlohmann::json rules = first["rules"];
  EXPECT_EQ(6, rules.value("minLength", 0));
  EXPECT_EQ(7, rules.value("maxLength", 0));
  EXPECT_EQ(hint, rules.value("passwordRules", ""));
  EXPECT_EQ("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789",
            rules.value("allowedCharacters", ""));
  EXPECT_EQ(nlohmann::json::array({"0123456789"}), rules["requiredCharacters"]);
  EXPECT_EQ("<Yearly>", rules.value("note", ""));

  std::string page = get("/").body;
  for (const std::string& part :
       {std::string(
            "minlength=\"6\"\n       maxlength=\"7\" passwordrules=\"") +
            hint + "\"",
        std::string("<li data-rule=\"length\" data-min=\"6\" "
                    "data-max=\"7\" data-short=\"Use at least 6 "
                    "characters.\" data-long=\"Use at most 7 characters.\">"
                    "New password: 6 to 7 characters.</li>"),
        std::string("<li data-rule=\"allowed\" data-characters=\""
                    "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\">It may hold: "
                    "capital letters A to Z, digits 0 to 9.</li>\n"
                    "<li data-rule=\"required\" data-characters=\"0123456789\" "
                    "data-message=\"Add a digit (0 to 9).\">It must hold at "
                    "least one of: digits 0 to 9.</li>\n"
                    "<li class=\"note\">&lt;Yearly&gt;</li>"),
        std::string("\"note\":\"\\u003cYearly\\u003e\"")}) {
    EXPECT_NE(std::string::npos, page.find(part)) << part;
  }
  EXPECT_EQ(std::string::npos, page.find("<Yearly>"));

  struct Case {
    const char* next;
    int status;
  };
  const Case cases[] = {
      {"AFTER", 400},     // too short
      {"AFTERXX", 400},   // no digit
      {"after12", 400},   // no small letters here
      {"AFTER123", 400},  // too long
      {"AFTER12", 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.next);
    http_test::HttpAnswer answer = http_test::HttpsExchange(
        static_cast<uint16_t>(web), Post(Change("alice", "SECRET1", c.next)));
    EXPECT_EQ(c.status, answer.status) << answer.body;
  }
  EXPECT_EQ(0u, box_.Read("users.db").find("ALICE     AFTER12"));
}

TEST_F(WebApiTest, OneAddressHoldingConnectionsLeavesRoomForOthers) {
  int web = StartWeb("tarponGateway",
                     {"-max-connections", "12", "-per-source", "4", "-http",
                      "127.0.0.1:" + std::to_string(e2e::FreeLoopbackPort())});
  std::vector<int> held;
  for (int i = 0; i < 30; ++i) held.push_back(ConnectFrom("127.0.0.2", web));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // More one after another than the overall cap: each is counted out again.
  for (int i = 0; i < 15; ++i) {
    http_test::HttpAnswer answer = http_test::HttpsExchange(
        static_cast<uint16_t>(web),
        "GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(200, answer.status);
  }
  for (int fd : held) {
    if (fd >= 0) close(fd);
  }
}

// Ten addresses holding 30 idle connections each fill the overall cap of
// 256; a request from another address still gets in, at once, each time:
// it displaces an idle connection of an address holding the most.
TEST_F(WebApiTest, AGroupOfAddressesCannotShutAnotherOut) {
  int web = StartWeb("tarponGateway");
  std::vector<int> held;
  for (int address = 2; address <= 11; ++address) {
    std::string source = "127.0.0." + std::to_string(address);
    for (int i = 0; i < 30; ++i) {
      held.push_back(ConnectFrom(source.c_str(), web));
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (int i = 0; i < 20; ++i) {
    auto began = std::chrono::steady_clock::now();
    http_test::HttpAnswer answer = http_test::HttpsExchange(
        static_cast<uint16_t>(web),
        "GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 3000);
    EXPECT_EQ(200, answer.status) << i;
    EXPECT_LT(std::chrono::steady_clock::now() - began,
              std::chrono::seconds(2));
  }
  for (int fd : held) {
    if (fd >= 0) close(fd);
  }
}

// SIGHUP with a broken key keeps the files in use; SIGTERM with changes
// under way and a keep-alive connection open answers every change, closes
// the idle connection and exits 0.
TEST_F(WebApiTest, ReloadKeepsWorkingFilesAndStopAnswersEveryChange) {
  std::ifstream key(certificates_.Path("gateway.key"));
  std::string keyText((std::istreambuf_iterator<char>(key)),
                      std::istreambuf_iterator<char>());
  box_.Write("web.key", keyText);
  chmod(box_.Path("web.key").c_str(), 0600);
  int web = StartWeb("silentGateway",
                     {"-key", box_.Path("web.key"), "-timeout", "2"});
  e2e::Background& process = *webs_.back();
  box_.Write("web.key", "not a key\n");
  EXPECT_TRUE(process.Signal(SIGHUP, [this](int ms) {
    return e2e::WaitForText(box_, "silentGateway.err",
                            "kept the certificate and key", ms);
  }));

  http_test::IdleTlsConnection idle(static_cast<uint16_t>(web));
  ASSERT_EQ("", idle.error());

  std::vector<std::thread> changes;
  std::vector<int> statuses(3, 0);
  for (int& status : statuses) {
    changes.emplace_back([web, &status] {
      status =
          http_test::HttpsExchange(static_cast<uint16_t>(web),
                                   Post(Change("alice", "SECRET1", "B")), 10000)
              .status;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kill(process.pid(), SIGTERM);
  for (std::thread& change : changes) change.join();
  for (int status : statuses) EXPECT_EQ(504, status);
  EXPECT_TRUE(idle.ClosedByPeer(5000));  // closed, not held
  EXPECT_EQ(0, process.Wait(10000)) << box_.Read("silentGateway.err");
}

// tarpon-web sends a PROXY header to a gateway that trusts nobody's: both
// logs name the fix, the person is told the service is not set up, and
// the header never runs as options.
TEST_F(WebApiTest, AProxyHeaderTheGatewayDoesNotTrustIsNamedInBothLogs) {
  auto gateway = e2e::StartGateway(e2e::BinDir() + "/tarpons", box_, "unlisted",
                                   env_, {"-S", "unlistedGateway"});
  ASSERT_TRUE(gateway) << box_.Read("unlisted.err");
  int web = StartWeb("unlistedGateway");
  std::string form =
      "user=alice&currentPassword=SECRET1&newPassword=AFTER1&"
      "confirmation=AFTER1";
  http_test::HttpAnswer page = http_test::HttpsExchange(
      static_cast<uint16_t>(web),
      "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
      "application/x-www-form-urlencoded\r\nContent-Length: " +
          std::to_string(form.size()) + "\r\nConnection: close\r\n\r\n" + form);
  EXPECT_EQ(200, page.status);
  EXPECT_NE(std::string::npos, page.body.find("not set up correctly"));
  EXPECT_EQ(std::string::npos, page.body.find("syntax"));  // no usage text
  EXPECT_TRUE(e2e::WaitForText(box_, "unlisted.log", "-proxy-from", 5000));
  EXPECT_NE(std::string::npos,
            box_.Read("unlistedGateway.err").find("-proxy-header off"));
  EXPECT_EQ(kUsers, box_.Read("users.db"));
}

// A change to two hosts through the real gateway: both take the new
// password, and the audit lines and the gateway's session lines carry the
// same operation.
TEST_F(WebApiTest, ChangesSeveralDestinationsAsOneOperation) {
  box_.Write("multi.conf", std::string(e2e::kGatewayNodeConfig) +
                               "[partner_lu hostb]\nname = NETA.HOSTB\n"
                               "[host NETA.HOSTB]\nusers = b.db\n");
  box_.Write("b.db", "ALICE SECRET1\n");
  chmod(box_.Path("b.db").c_str(), 0600);
  box_.Write("services", box_.Read("services") + "multiGateway " +
                             std::to_string(e2e::FreeLoopbackPort()) +
                             "/tcp\n");
  const Args env = {"TARPON_SNA_NODE=" + box_.Path("multi.conf"),
                    "TARPON_SERVICES=" + box_.Path("services")};
  // The gateway hands the hosts' events on as one.
  box_.Write("hook", "#!/bin/sh\ncat >> " + box_.Path("events") + "\n");
  chmod(box_.Path("hook").c_str(), 0700);
  auto gateway = e2e::StartGateway(
      e2e::BinDir() + "/tarpons", box_, "multi", env,
      {"-S", "multiGateway", "-proxy-from", "127.0.0.1", "-on-event",
       box_.Path("hook"), "-spool", box_.Path("spool")});
  ASSERT_TRUE(gateway) << box_.Read("multi.err");
  int web =
      StartWeb("multiGateway", {"-destinations", "hosta=Host A,hostb=Host B"});
  nlohmann::json body =
      nlohmann::json::parse(Change("alice", "SECRET1", "AFTER1"));
  body["destinations"] = {"hosta", "hostb"};
  http_test::HttpAnswer answer =
      http_test::HttpsExchange(static_cast<uint16_t>(web), Post(body.dump()));
  ASSERT_EQ(200, answer.status) << answer.body;
  nlohmann::json results = nlohmann::json::parse(answer.body)["results"];
  ASSERT_EQ(2u, results.size());
  EXPECT_TRUE(results[0]["changed"] && results[1]["changed"]) << answer.body;
  EXPECT_NE(std::string::npos, box_.Read("b.db").find(" AFTER1"));
  ASSERT_TRUE(
      e2e::WaitForText(box_, "multiGateway.out", "destination=hostb", 5000));
  const std::string audit = box_.Read("multiGateway.out");
  const size_t at = audit.find(" operation=");
  ASSERT_NE(std::string::npos, at) << audit;
  const std::string operation =
      audit.substr(at + 11, audit.find('\n', at) - at - 11);
  // Each session's lines are written when it ends: wait for both.
  const std::string tag = ") op(" + operation + ") ";
  auto sessions = [&] {
    const std::string log = box_.Read("multi.log");
    int count = 0;
    for (size_t from = log.find(tag); from != std::string::npos;
         from = log.find(tag, from + 1)) {
      ++count;
    }
    return count;
  };
  for (int i = 0; i < 50 && sessions() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(2, sessions()) << box_.Read("multi.log");
  ASSERT_TRUE(e2e::WaitForText(box_, "events", "\n", 5000));
  const std::string events = box_.Read("events");
  nlohmann::json event = nlohmann::json::parse(events);  // one line only
  EXPECT_EQ(operation, event["operation"]);
  EXPECT_EQ(2, event["parts"]);
  std::set<std::string> hosts;
  for (const auto& one : event["destinations"]) {
    EXPECT_EQ("changed", one["outcome"]);
    hosts.insert(one["destination"]);
  }
  EXPECT_EQ((std::set<std::string>{"HOSTA", "HOSTB"}), hosts) << events;
}

// A retry with the same Idempotency-Key gets the first answer, not a
// second change (which, with the old password, would be refused); the key
// is bound to its user; an answer that was no verdict is not kept.
TEST_F(WebApiTest, ARetryWithTheSameKeyGetsTheFirstAnswer) {
  int web = StartWeb("tarponGateway");
  int dead = StartWeb("deadGateway");
  int silent = StartWeb("silentGateway", {"-timeout", "3"});
  auto post = [](int port, const std::string& body, const std::string& key) {
    return http_test::HttpsExchange(
        static_cast<uint16_t>(port),
        Post(body, "application/json", "Idempotency-Key: " + key + "\r\n"),
        10000);
  };
  const std::string change = Change("alice", "SECRET1", "AFTER1");
  http_test::HttpAnswer first = post(web, change, "k-1");
  http_test::HttpAnswer again = post(web, change, "k-1");
  EXPECT_EQ(200, first.status);
  EXPECT_EQ(200, again.status);
  EXPECT_EQ(first.body, again.body);
  EXPECT_NE(std::string::npos, again.fields.find("Idempotent-Replayed: true"));
  std::string audit = box_.Read("tarponGateway.out");
  EXPECT_EQ(audit.find("outcome=changed"), audit.rfind("outcome=changed"));
  // The new password works: the retry made no second change.
  EXPECT_EQ(200, post(web, Change("alice", "AFTER1", "AFTER2"), "k-2").status);
  struct Case {
    const char* what;
    int port;
    std::string body;
    std::string key;
    int status;
    const char* reason;
  };
  const Case cases[] = {
      {"the key with another user", web, Change("bob", "PASSW0RD", "BQ7X2K"),
       "k-1", 422, "idempotency_key_reused"},
      {"a refusal is kept too", web, Change("bob", "WRONG1", "BQ7X2K"), "k-3",
       422, "credentials_not_accepted"},
      {"and given again", web, Change("bob", "WRONG1", "BQ7X2K"), "k-3", 422,
       "credentials_not_accepted"},
      {"no gateway", dead, change, "k-4", 502, "gateway_unreachable"},
      {"no gateway again: not kept, asked again", dead, change, "k-4", 502,
       "gateway_unreachable"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    http_test::HttpAnswer answer = post(c.port, c.body, c.key);
    EXPECT_EQ(c.status, answer.status);
    EXPECT_EQ(
        c.reason,
        nlohmann::json::parse(answer.body, nullptr, false).value("reason", ""));
  }
  EXPECT_NE(std::string::npos,
            box_.Read("users.db").find("BOB       PASSW0RD"));
  audit = box_.Read("deadGateway.out");
  EXPECT_NE(audit.find("outcome=unreachable"),
            audit.rfind("outcome=unreachable"));
  // While the first change with a key is under way, its repeat is told so.
  std::thread slow([&] { post(silent, change, "k-5"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  http_test::HttpAnswer busy = post(silent, change, "k-5");
  slow.join();
  EXPECT_EQ(409, busy.status);
  EXPECT_EQ("1", busy.retryAfter);
}

// -check names each thing a start needs on a line of its own; a usage for
// -? and --help.
TEST_F(WebApiTest, CheckAndUsage) {
  auto run = [this](const Args& more) {
    Args args = {
        "-listen",       "127.0.0.1:" + std::to_string(e2e::FreeLoopbackPort()),
        "-cert",         certificates_.Path("gateway.pem"),
        "-key",          certificates_.Path("gateway.key"),
        "-destinations", "hosta",
        "-assets",       std::string(TARPON_SOURCE_DIR) + "/web/assets",
        "-timeout",      "2",
        "-check"};
    args.insert(args.end(), more.begin(), more.end());
    return e2e::Run(e2e::BinDir() + "/tarpon-web", args, env_);
  };
  std::string port = box_.Read("services");
  port = port.substr(port.find(' ') + 1);
  port = port.substr(0, port.find('/'));
  struct Case {
    const char* what;
    Args more;
    int status;
    std::string line;
  };
  const Case cases[] = {
      {"all well, the gateway named by its port number",
       {"-gateway", "127.0.0.1:" + port},
       0,
       "ok      gateway 127.0.0.1:" + port + " (PROXY header on) answers\n"},
      {"no gateway",
       {"-gateway", "127.0.0.1:deadGateway"},
       1,
       "FAILED  gateway 127.0.0.1:deadGateway (PROXY header on): "},
      {"a gateway that trusts no PROXY header",
       {"-gateway", "127.0.0.1:unlistedGateway"},
       1,
       "FAILED  gateway 127.0.0.1:unlistedGateway (PROXY header on) refuses "
       "the PROXY header"},
      {"no catalogue for the language",
       {"-gateway", "127.0.0.1:" + port, "-lang", "xx"},
       1,
       "FAILED  catalogues: "},
      {"a destination the gateway's node knows",
       {"-gateway", "127.0.0.1:" + port},
       0,
       "ok      destination hosta: reaches NETA.KSVHOST\n"},
      {"a destination the gateway's node lacks",
       {"-gateway", "127.0.0.1:" + port, "-destinations", "hosta,nosuch"},
       1,
       "FAILED  destination nosuch: the gateway's SNA node has no such "
       "destination"},
      {"no PROXY header, so no probe",
       {"-gateway", "127.0.0.1:unlistedGateway", "-proxy-header", "off"},
       0,
       "warning destination hosta: not probed, the gateway takes no PROXY "
       "header from this server (-proxy-from)\n"},
      {"a destination the engine refuses (an alias of 12 characters)",
       {"-gateway", "127.0.0.1:" + port, "-destinations", "hosta,twelvecharss"},
       1,
       "FAILED  destination twelvecharss: the gateway's engine refuses it: "
       "ERROR 41."},
      {"a certificate that ends within 30 days",
       {"-gateway", "127.0.0.1:" + port, "-cert",
        certificates_.Path("soon.pem"), "-key", certificates_.Path("soon.key")},
       0,
       "warning certificate " + certificates_.Path("soon.pem") +
           " expires in 12 days\n"},
      {"a certificate past its end",
       {"-gateway", "127.0.0.1:" + port, "-cert",
        certificates_.Path("expired.pem"), "-key",
        certificates_.Path("expired.key")},
       1,
       "FAILED  certificate " + certificates_.Path("expired.pem") +
           " has expired"},
  };
  auto unlisted =
      e2e::StartGateway(e2e::BinDir() + "/tarpons", box_, "unlisted", env_,
                        {"-S", "unlistedGateway"});
  ASSERT_TRUE(unlisted) << box_.Read("unlisted.err");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    e2e::RunResult result = run(c.more);
    EXPECT_EQ(c.status, result.status) << result.out << result.err;
    EXPECT_NE(std::string::npos, result.out.find(c.line)) << result.out;
    const bool ownCertificate = c.more.size() > 2 && c.more[2] == "-cert";
    EXPECT_EQ(!ownCertificate,
              result.out.find("ok      certificate " +
                              certificates_.Path("gateway.pem")) !=
                  std::string::npos);
  }
  EXPECT_EQ(kUsers, box_.Read("users.db"));  // -check changed nothing
  for (const char* ask : {"-?", "--help"}) {
    e2e::RunResult usage = e2e::Run(e2e::BinDir() + "/tarpon-web", {ask}, env_);
    EXPECT_EQ(0, usage.status) << ask;
    EXPECT_EQ(0u, usage.out.find("usage: tarpon-web -listen")) << ask;
  }
}

}  // namespace
