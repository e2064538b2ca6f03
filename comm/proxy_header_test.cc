#include "comm/proxy_header.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <algorithm>
#include <string>

namespace {

using Result = ProxyHeaderParser::Result;

// A version 2 header built by hand, independent of the encoder: signature,
// command byte, family byte, the block's length, then the block.
std::string V2(uint8_t command, uint8_t family, const std::string& block,
               size_t length = std::string::npos) {
  if (length == std::string::npos) length = block.size();
  std::string out("\r\n\r\n\0\r\nQUIT\n", 12);
  out += static_cast<char>(command);
  out += static_cast<char>(family);
  out += static_cast<char>(length >> 8);
  out += static_cast<char>(length & 0xFF);
  return out + block;
}

const std::string kInet4Block(
    "\xC6\x33\x64\x07\x7F\x00\x00\x01\x9C\x40\x1B\x58",
    12);  // 198.51.100.7:40000 to 127.0.0.1:7000
const std::string kInet6Block =
    std::string("\x20\x01\x0D\xB8", 4) + std::string(11, '\0') + "\x07" +
    std::string(15, '\0') + "\x01" + std::string("\xFF\xFF\x00\x00", 4);

std::string Describe(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(in.sin_port));
  }
  if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    return "[" + std::string(text) +
           "]:" + std::to_string(ntohs(in6.sin6_port));
  }
  return "-";
}

sockaddr_storage Endpoint(const char* text, uint16_t port) {
  sockaddr_storage out = {};
  if (inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in&>(out).sin_addr)) {
    out.ss_family = AF_INET;
    reinterpret_cast<sockaddr_in&>(out).sin_port = htons(port);
  } else if (inet_pton(AF_INET6, text,
                       &reinterpret_cast<sockaddr_in6&>(out).sin6_addr)) {
    out.ss_family = AF_INET6;
    reinterpret_cast<sockaddr_in6&>(out).sin6_port = htons(port);
  }
  return out;
}

// Feeds "input", followed by the start of a TLS ClientHello when it is a
// valid header, in pieces of at most "step" bytes and never more than
// Wanted(), as a non-blocking reader would; with step 0, all at once.
// Returns how many bytes the parser took; checks on the way that a valid
// header is never asked past its end.
size_t Feed(ProxyHeaderParser* parser, const std::string& input, size_t step,
            bool valid) {
  std::string stream = valid ? input + "\x16\x03\x01" : input;
  size_t used = 0;
  while (!parser->IsDone() && used < stream.size()) {
    size_t wanted = parser->Wanted();
    if (valid) {
      EXPECT_LE(wanted, input.size() - used) << "at " << used;
    }
    size_t offer = step == 0 ? stream.size() - used
                             : std::min({step, wanted, stream.size() - used});
    size_t taken = parser->Take(stream.data() + used, offer);
    EXPECT_GT(taken, 0u);
    used += taken;
  }
  return used;
}

TEST(ProxyHeaderParserTest, JudgesHeaders) {
  struct Case {
    const char* name;
    std::string input;
    Result result;
    const char* reason;  // "" when valid
    const char* source = "-";
    const char* destination = "-";
  } cases[] = {
      {"v1 TCP4", "PROXY TCP4 198.51.100.7 127.0.0.1 40000 7000\r\n",
       Result::kProxy, "", "198.51.100.7:40000", "127.0.0.1:7000"},
      {"v1 TCP6", "PROXY TCP6 2001:db8::7 ::1 65535 0\r\n", Result::kProxy, "",
       "[2001:db8::7]:65535", "[::1]:0"},
      {"v1 UNKNOWN", "PROXY UNKNOWN\r\n", Result::kUnknown, "", "-", "-"},
      {"v1 UNKNOWN, rest ignored", "PROXY UNKNOWN ff::1 x 1 2\r\n",
       Result::kUnknown, "", "-", "-"},
      {"v1 of 107 bytes", "PROXY UNKNOWN " + std::string(91, 'x') + "\r\n",
       Result::kUnknown, "", "-", "-"},
      {"v2 IPv4", V2(0x21, 0x11, kInet4Block), Result::kProxy, "",
       "198.51.100.7:40000", "127.0.0.1:7000"},
      {"v2 IPv6", V2(0x21, 0x21, kInet6Block), Result::kProxy, "",
       "[2001:db8::7]:65535", "[::1]:0"},
      {"v2 IPv4 with TLVs",
       V2(0x21, 0x11,
          kInet4Block + std::string("\x01\x00\x02h2\x04\x00\x00", 7)),
       Result::kProxy, "", "198.51.100.7:40000", "127.0.0.1:7000"},
      {"v2 LOCAL", V2(0x20, 0x00, ""), Result::kLocal, "", "-", "-"},
      {"v2 LOCAL, addresses skipped", V2(0x20, 0x11, kInet4Block),
       Result::kLocal, "", "-", "-"},
      {"v2 LOCAL of 552 bytes", V2(0x20, 0x00, std::string(536, 'x')),
       Result::kLocal, "", "-", "-"},
      {"v2 PROXY without a family", V2(0x21, 0x00, ""), Result::kUnknown, "",
       "-", "-"},
      {"v2 oversized", V2(0x21, 0x11, kInet4Block, 537), Result::kInvalid,
       "header longer than 552 bytes"},
      {"v1 no CRLF within 107",
       "PROXY UNKNOWN " + std::string(92, 'x') + "\r\n", Result::kInvalid,
       "header longer than 107 bytes"},
      {"garbage (a record header)",
       std::string("\x00\x2C\x44\x00"
                   "01.0",
                   8),
       Result::kInvalid, "not a PROXY header"},
      {"v2 bad signature", V2(0x21, 0x11, kInet4Block).replace(8, 1, "X"),
       Result::kInvalid, "not a PROXY header"},
      {"port 65536", "PROXY TCP4 1.2.3.4 1.2.3.4 65536 2\r\n", Result::kInvalid,
       "bad port"},
      {"port with sign", "PROXY TCP4 1.2.3.4 1.2.3.4 +1 2\r\n",
       Result::kInvalid, "bad port"},
      {"port with leading zero", "PROXY TCP4 1.2.3.4 1.2.3.4 1 02\r\n",
       Result::kInvalid, "bad port"},
      {"IPv6 under TCP4", "PROXY TCP4 ::1 1.2.3.4 1 2\r\n", Result::kInvalid,
       "bad address"},
      {"NUL in address",
       std::string("PROXY TCP4 1.2.3.4\0 1.2.3.4 1 2\r\n", 33),
       Result::kInvalid, "bad line"},
      {"double space", "PROXY TCP4 1.2.3.4  1.2.3.4 1 2\r\n", Result::kInvalid,
       "bad line"},
      {"five fields", "PROXY TCP4 1.2.3.4 1.2.3.4 1 2 3\r\n", Result::kInvalid,
       "bad line"},
      {"LF alone", "PROXY TCP4 1.2.3.4 1.2.3.4 1 2\n", Result::kInvalid,
       "bad line"},
      {"CR alone", "PROXY TCP4 1.2.3.4\r1.2.3.4 1 2\r\n", Result::kInvalid,
       "bad line"},
      {"v1 UDP4", "PROXY UDP4 1.2.3.4 1.2.3.4 1 2\r\n", Result::kInvalid,
       "unsupported family"},
      {"v2 AF_UNIX", V2(0x21, 0x31, std::string(216, '\0')), Result::kInvalid,
       "unsupported family"},
      {"v2 DGRAM", V2(0x21, 0x12, kInet4Block), Result::kInvalid,
       "unsupported protocol"},
      {"v2 version 1", V2(0x11, 0x11, kInet4Block), Result::kInvalid,
       "bad version"},
      {"v2 command 2", V2(0x22, 0x11, kInet4Block), Result::kInvalid,
       "bad command"},
      {"v2 block short of IPv6", V2(0x21, 0x21, kInet6Block, 35),
       Result::kInvalid, "bad address"},
      {"v1 cut short", "PROXY TCP4 198.51.100.7 127.0.0.1 40000 7000\r",
       Result::kInvalid, "truncated"},
      {"v2 cut short", V2(0x21, 0x11, kInet4Block).substr(0, 27),
       Result::kInvalid, "truncated"},
  };
  for (const Case& c : cases) {
    for (size_t step : {size_t{0}, size_t{1}, size_t{7}}) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(step));
      ProxyHeaderParser parser;
      bool valid = c.result != Result::kInvalid;
      size_t used = Feed(&parser, c.input, step, valid);
      if (!parser.IsDone()) parser.EndOfInput();
      EXPECT_EQ(c.result, parser.GetResult());
      EXPECT_EQ(0u, parser.Wanted());
      if (valid) {
        EXPECT_EQ(c.input.size(), used);
        EXPECT_STREQ("", parser.GetReason());
        EXPECT_EQ(c.source, Describe(parser.GetSource()));
        EXPECT_EQ(c.destination, Describe(parser.GetDestination()));
      } else {
        EXPECT_STREQ(c.reason, parser.GetReason());
        EXPECT_EQ("-", Describe(parser.GetSource()));
      }
    }
  }
}

TEST(EncodeProxyV2Test, RoundTripsThroughTheParser) {
  struct Case {
    const char* source;
    const char* destination;
    const char* parsedSource;
    const char* parsedDestination;
  } cases[] = {
      {"198.51.100.7", "127.0.0.1", "198.51.100.7:40000", "127.0.0.1:7000"},
      {"2001:db8::7", "::1", "[2001:db8::7]:40000", "[::1]:7000"},
      // Mixed families: the IPv4 end goes as an IPv4-mapped address.
      {"198.51.100.7", "::1", "[::ffff:198.51.100.7]:40000", "[::1]:7000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    std::string header =
        EncodeProxyV2(Endpoint(c.source, 40000), Endpoint(c.destination, 7000));
    ProxyHeaderParser parser;
    EXPECT_EQ(header.size(), parser.Take(header.data(), header.size()));
    ASSERT_EQ(Result::kProxy, parser.GetResult());
    EXPECT_EQ(c.parsedSource, Describe(parser.GetSource()));
    EXPECT_EQ(c.parsedDestination, Describe(parser.GetDestination()));
  }
  EXPECT_EQ(V2(0x21, 0x11, kInet4Block),
            EncodeProxyV2(Endpoint("198.51.100.7", 40000),
                          Endpoint("127.0.0.1", 7000)));
  EXPECT_EQ(V2(0x20, 0x00, ""), EncodeProxyV2Local());

  sockaddr_storage local = {};
  local.ss_family = AF_UNIX;
  EXPECT_EQ("", EncodeProxyV2(local, Endpoint("::1", 1)));
}

// The owner device's, the operation's, its parts' and the probe's TLVs, alone
// or among others, fed whole or a byte at a time; one too long is not kept.
TEST(ProxyHeaderParserTest, KeepsTheOwnDeviceOperationPartsAndProbeTlvsOnly) {
  const std::string owner(
      "\xE0\x00\x05"
      "ALICE",
      8);
  const std::string other(
      "\x04\x00\x02"
      "ab",
      5);  // a NOOP TLV
  const std::string tooLong =
      std::string("\xE0\x00\x11", 3) + std::string(17, 'X');
  const std::string operation = std::string("\xE1\x00\x04", 3) + "op-7";
  const std::string longOperation =
      std::string("\xE1\x00\x21", 3) + std::string(33, 'Y');
  const std::string probe("\xE2\x00\x00", 3);
  const struct {
    const char* what;
    std::string header;
    const char* owner;
    bool probe;
    const char* operation = "";
    int parts = 0;
  } cases[] = {
      {"alone", V2(0x21, 0x11, kInet4Block + owner), "ALICE", false},
      {"after another", V2(0x21, 0x11, kInet4Block + other + owner), "ALICE",
       false},
      {"before another", V2(0x21, 0x11, kInet4Block + owner + other), "ALICE",
       false},
      {"too long", V2(0x21, 0x11, kInet4Block + tooLong), "", false},
      {"none", V2(0x21, 0x11, kInet4Block + other), "", false},
      {"encoded",
       EncodeProxyV2(Endpoint("198.51.100.7", 40000),
                     Endpoint("127.0.0.1", 7000), "ALICE"),
       "ALICE", false},
      {"operation with owner",
       V2(0x21, 0x11, kInet4Block + owner + other + operation), "ALICE", false,
       "op-7"},
      {"operation too long", V2(0x21, 0x11, kInet4Block + longOperation), "",
       false},
      {"both encoded",
       EncodeProxyV2(Endpoint("198.51.100.7", 40000),
                     Endpoint("127.0.0.1", 7000), "", std::string(32, 'Z')),
       "", false, "ZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZ"},
      // The operation's parts: one byte of 2 or more; none otherwise.
      {"parts encoded",
       EncodeProxyV2(Endpoint("198.51.100.7", 40000),
                     Endpoint("127.0.0.1", 7000), "", "op-7", 3),
       "", false, "op-7", 3},
      {"parts not sent for one",
       EncodeProxyV2(Endpoint("198.51.100.7", 40000),
                     Endpoint("127.0.0.1", 7000), "", "op-7", 1),
       "", false, "op-7", 0},
      {"parts of two bytes",
       V2(0x21, 0x11, kInet4Block + std::string("\xE3\x00\x02\x00\x03", 5)), "",
       false, "", 0},
      {"parts of one",
       V2(0x21, 0x11, kInet4Block + std::string("\xE3\x00\x01\x01", 4)), "",
       false, "", 0},
      // The probe's TLV is empty; a TLV whose value holds its type byte is
      // none.
      {"a probe", V2(0x21, 0x11, kInet4Block + other + probe + owner), "ALICE",
       true},
      {"a value like a probe",
       V2(0x21, 0x11, kInet4Block + std::string("\x04\x00\x01\xE2", 4)), "",
       false},
      {"an encoded probe",
       EncodeProxyV2Probe(Endpoint("198.51.100.7", 40000),
                          Endpoint("127.0.0.1", 7000)),
       "", true},
  };
  for (const auto& c : cases) {
    for (size_t step : {size_t{0}, size_t{1}}) {
      SCOPED_TRACE(std::string(c.what) + (step == 0 ? ", whole" : ", bytes"));
      ProxyHeaderParser parser;
      EXPECT_EQ(c.header.size(), Feed(&parser, c.header, step, true));
      ASSERT_EQ(Result::kProxy, parser.GetResult());
      EXPECT_EQ("198.51.100.7:40000", Describe(parser.GetSource()));
      EXPECT_EQ(c.owner, parser.GetOwnerDevice());
      EXPECT_EQ(c.operation, parser.GetOperation());
      EXPECT_EQ(c.probe, parser.IsProbe());
      EXPECT_EQ(c.parts, parser.GetOperationParts());
    }
  }
}

}  // namespace
