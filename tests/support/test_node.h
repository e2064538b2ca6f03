// Test helpers: a fresh folder with a node configuration and a user
// database, and TARPON_SNA_NODE pointing at it.
#ifndef TARPON_TESTS_SUPPORT_TEST_NODE_H_
#define TARPON_TESTS_SUPPORT_TEST_NODE_H_

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "contract/sna_services.h"
#include "sna/code_page.h"
#include "sna/node.h"

namespace sna_test {

// A host NETA.KSVHOST (alias "hosta") and a plain partner NETA.OTHER
// (alias "other"), modes #BATCH and #INTER, side information KSVSYM for
// the host. "extra" is added at the end of the configuration.
inline std::string BaseConfig(const std::string& extra = "") {
  return "[node]\n"
         "modes = #BATCH #INTER\n"
         "[local_lu WKSTN1]\n"
         "name = NETA.WKSTN1\n"
         "[partner_lu hosta]\n"
         "name = NETA.KSVHOST\n"
         "[partner_lu other]\n"
         "name = NETA.OTHER\n"
         "[side_info KSVSYM]\n"
         "partner_lu = NETA.KSVHOST\n"
         "mode = #BATCH\n"
         "tp_name = x'06F3F0F1'\n"
         "[host NETA.KSVHOST]\n"
         "users = users.db\n" +
         extra;
}

inline const char* BaseUsers() {
  return "# user    password  attributes\n"
         "ALICE     SECRET1\n"
         "BOB       PASSW0RD  expired\n"
         "CAROL     TOPSEC    revoked\n"
         "DAVE      NEWONE    history=OLDONE,OLDER failures=1\n";
}

class NodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarpon-sna-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    WriteFile("users.db", BaseUsers());
    WriteConfig(BaseConfig());
  }
  void TearDown() override {
    // Leave nothing started for the next test.
    while (WinCPICCleanup() == 0) {
    }
    sna::Node().tps.clear();
    sna::Node().config.reset();
    std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(0, std::system(command.c_str()));
    unsetenv("TARPON_SNA_NODE");
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void WriteFile(const std::string& name, const std::string& text) {
    std::ofstream out(Path(name), std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    chmod(Path(name).c_str(), 0600);  // the host refuses a looser database
  }
  std::string ReadFile(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void WriteConfig(const std::string& text) {
    WriteFile("node.conf", text);
    setenv("TARPON_SNA_NODE", Path("node.conf").c_str(), 1);
  }
  std::string ConfigPath() const { return Path("node.conf"); }

  std::string dir_;
};

inline std::string Ebcdic(const std::string& text) {
  std::string out(text.size(), '\0');
  sna::AsciiToEbcdic(reinterpret_cast<const unsigned char*>(text.data()),
                     reinterpret_cast<unsigned char*>(&out[0]), text.size());
  return out;
}

// A subfield: length byte, type byte, data.
inline std::string Field(int type, const std::string& data) {
  return std::string(1, static_cast<char>(data.size() + 2)) +
         static_cast<char>(type) + data;
}

// A GDS variable X'1221' around "fields" with correct lengths.
inline std::string Gds(uint16_t request_id, const std::string& fields) {
  size_t total = fields.size() + 8;
  std::string gds;
  gds += static_cast<char>(total >> 8);
  gds += static_cast<char>(total & 0xFF);
  gds += "\x12\x21";
  gds += static_cast<char>((total - 4) >> 8);
  gds += static_cast<char>((total - 4) & 0xFF);
  gds += static_cast<char>(request_id >> 8);
  gds += static_cast<char>(request_id & 0xFF);
  return gds + fields;
}

// The password request the engine builds, in EBCDIC.
inline std::string Request(const std::string& user, const std::string& old,
                           const std::string& fresh) {
  return Gds(0xFF01, Field(1, Ebcdic(user)) + Field(2, Ebcdic(old)) +
                         Field(6, Ebcdic(fresh)));
}

inline std::string SignOn(const std::string& user, const std::string& old) {
  return Gds(0xFF00, Field(1, Ebcdic(user)) + Field(2, Ebcdic(old)));
}

inline std::string Hex(const std::string& bytes) {
  std::string text;
  char byte[4];
  for (unsigned char c : bytes) {
    std::snprintf(byte, sizeof byte, "%02X", c);
    text += byte;
  }
  return text;
}

// The 11-byte reply with "status".
inline std::string ReplyHex(int status) {
  char text[32];
  std::snprintf(text, sizeof text, "000B12210007FF020300%02X", status);
  return text;
}

}  // namespace sna_test

#endif  // TARPON_TESTS_SUPPORT_TEST_NODE_H_
