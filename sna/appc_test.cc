#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "contract/sna_services.h"
#include "tests/support/test_node.h"

namespace {

struct Rc {
  uint16_t primary;
  uint32_t secondary;
  bool operator==(const Rc& other) const {
    return primary == other.primary && secondary == other.secondary;
  }
};

// Verb control blocks filled as the engine fills them.
class AppcTest : public sna_test::NodeTest {
 protected:
  template <typename Block>
  static Rc RcOf(const Block& block) {
    return Rc{block.primary_rc, block.secondary_rc};
  }

  Rc TpStarted(const char* lu_alias = nullptr) {
    TP_STARTED block{};
    block.opcode = AP_TP_STARTED;
    if (lu_alias != nullptr) Pad(block.lu_alias, 8, lu_alias, ' ');
    Pad(block.tp_name, 64, "Korvid_KSV_client", ' ');
    APPC(&block);
    std::memcpy(tp_id_, block.tp_id, 8);
    return RcOf(block);
  }
  Rc Allocate(const char* alias, const char* qualified,
              const char* mode = "#BATCH",
              const std::string& tp = "\x06\xF3\xF0\xF1") {
    ALLOCATE block{};
    block.opcode = AP_B_ALLOCATE;
    std::memcpy(block.tp_id, tp_id_, 8);
    if (alias != nullptr) Pad(block.plu_alias, 8, alias, ' ');
    if (qualified != nullptr) {
      Pad(block.fqplu_name, 17, sna_test::Ebcdic(qualified).c_str(), 0x40);
    }
    Pad(block.mode_name, 8, sna_test::Ebcdic(mode).c_str(), 0x40);
    std::memset(block.tp_name, 0x40, 64);
    std::memcpy(block.tp_name, tp.data(), tp.size());
    APPC(&block);
    conv_id_ = block.conv_id;
    return RcOf(block);
  }
  Rc SendData(const std::string& data) {
    SEND_DATA block{};
    block.opcode = AP_B_SEND_DATA;
    std::memcpy(block.tp_id, tp_id_, 8);
    block.conv_id = conv_id_;
    block.dlen = static_cast<uint16_t>(data.size());
    block.dptr =
        reinterpret_cast<unsigned char*>(const_cast<char*>(data.data()));
    APPC(&block);
    return RcOf(block);
  }
  Rc ReceiveAndWait(std::string* data, uint16_t max_len = 15) {
    RECEIVE_AND_WAIT block{};
    unsigned char buffer[64];
    block.opcode = AP_B_RECEIVE_AND_WAIT;
    std::memcpy(block.tp_id, tp_id_, 8);
    block.conv_id = conv_id_;
    block.max_len = max_len;
    block.dptr = max_len > 0 ? buffer : nullptr;
    APPC(&block);
    *data =
        sna_test::Hex(std::string(reinterpret_cast<char*>(buffer), block.dlen));
    return RcOf(block);
  }
  Rc TpEnded() {
    TP_ENDED block{};
    block.opcode = AP_TP_ENDED;
    std::memcpy(block.tp_id, tp_id_, 8);
    APPC(&block);
    return RcOf(block);
  }
  static void Pad(unsigned char* field, size_t size, const char* text,
                  unsigned char blank) {
    std::memset(field, blank, size);
    std::memcpy(field, text, std::strlen(text));
  }

  unsigned char tp_id_[8] = {0};
  uint32_t conv_id_ = 0;
};

const Rc kOk{AP_OK, 0};

TEST_F(AppcTest, ChangesAPasswordFromStartToDeallocation) {
  ASSERT_EQ(kOk, TpStarted());
  ASSERT_EQ(kOk, Allocate(nullptr, "NETA.KSVHOST"));
  ASSERT_EQ(kOk, SendData(sna_test::Request("Dave", "newone", "NEW2")));
  std::string reply;
  ASSERT_EQ(kOk, ReceiveAndWait(&reply));
  EXPECT_EQ(sna_test::ReplyHex(0), reply);
  EXPECT_EQ((Rc{AP_DEALLOC_NORMAL, 0}), ReceiveAndWait(&reply, 0));
  EXPECT_EQ("", reply);
  EXPECT_EQ((Rc{AP_PARAMETER_CHECK, AP_BAD_CONV_ID}), ReceiveAndWait(&reply));
  EXPECT_EQ(kOk, TpEnded());
  EXPECT_EQ((Rc{AP_PARAMETER_CHECK, AP_BAD_TP_ID}), TpEnded());
  EXPECT_NE(std::string::npos, ReadFile("users.db").find("DAVE      NEW2"));
}

TEST_F(AppcTest, IdsAreUniqueWithinTheProcess) {
  ASSERT_EQ(kOk, TpStarted("WKSTN1"));
  unsigned char first[8];
  std::memcpy(first, tp_id_, 8);
  ASSERT_EQ(kOk, Allocate("hosta", nullptr));
  uint32_t conversation = conv_id_;
  ASSERT_EQ(kOk, TpEnded());
  ASSERT_EQ(kOk, TpStarted());
  EXPECT_NE(0, std::memcmp(first, tp_id_, 8));
  ASSERT_EQ(kOk, Allocate("hosta", nullptr));
  EXPECT_NE(conversation, conv_id_);
  EXPECT_NE(0u, conv_id_);
}

TEST_F(AppcTest, MisconfigurationRows) {
  std::string reply;
  EXPECT_EQ((Rc{AP_PARAMETER_CHECK, AP_BAD_LU_ALIAS}), TpStarted("wkstn1"));
  ASSERT_EQ(kOk, TpStarted());
  EXPECT_EQ((Rc{AP_PARAMETER_CHECK, AP_BAD_PARTNER_LU_ALIAS}),
            Allocate("HOSTA", nullptr));
  EXPECT_EQ((Rc{AP_PARAMETER_CHECK, AP_UNKNOWN_PARTNER_MODE}),
            Allocate("hosta", nullptr, "#FAST"));
  EXPECT_EQ((Rc{AP_ALLOCATION_ERROR, AP_ALLOCATION_FAILURE_NO_RETRY}),
            Allocate("other", nullptr));
  EXPECT_EQ((Rc{AP_ALLOCATION_ERROR, AP_ALLOCATION_FAILURE_NO_RETRY}),
            Allocate(nullptr, "NETB.NOWHERE"));
  ASSERT_EQ(kOk, Allocate("hosta", nullptr, "#inter", "\x06\xF3\xF0\xF2"));
  ASSERT_EQ(kOk, SendData(sna_test::Request("ALICE", "SECRET1", "NEW1")));
  EXPECT_EQ((Rc{AP_ALLOCATION_ERROR, AP_TP_NAME_NOT_RECOGNIZED}),
            ReceiveAndWait(&reply));
  EXPECT_EQ(sna_test::BaseUsers(), ReadFile("users.db"));
}

TEST_F(AppcTest, StateAndParameterChecks) {
  std::string reply;
  EXPECT_EQ((Rc{AP_PARAMETER_CHECK, AP_BAD_TP_ID}), Allocate("hosta", nullptr));
  ASSERT_EQ(kOk, TpStarted());
  EXPECT_EQ((Rc{AP_PARAMETER_CHECK, AP_BAD_CONV_ID}), SendData("x"));
  ASSERT_EQ(kOk, Allocate("hosta", nullptr));
  ASSERT_EQ(kOk, SendData(sna_test::Request("ALICE", "WRONG", "NEW1")));
  ASSERT_EQ(kOk, ReceiveAndWait(&reply, 4));
  EXPECT_EQ("000B1221", reply);
  EXPECT_EQ((Rc{AP_STATE_CHECK, AP_SEND_DATA_NOT_SEND_STATE}), SendData("x"));
  // More data where the end was expected: not the deallocation.
  EXPECT_EQ(kOk, ReceiveAndWait(&reply, 0));
  ASSERT_EQ(kOk, ReceiveAndWait(&reply));
  EXPECT_EQ("0007FF02030002", reply);
  EXPECT_EQ((Rc{AP_DEALLOC_NORMAL, 0}), ReceiveAndWait(&reply, 0));

  ALLOCATE block{};
  block.opcode = AP_B_ALLOCATE;
  std::memcpy(block.tp_id, tp_id_, 8);
  block.conv_type = 1;
  APPC(&block);
  EXPECT_EQ((Rc{AP_PARAMETER_CHECK, AP_BAD_CONV_TYPE}), RcOf(block));
  block.conv_type = 0;
  block.sync_level = 7;
  APPC(&block);
  EXPECT_EQ((Rc{AP_PARAMETER_CHECK, AP_BAD_SYNC_LEVEL}), RcOf(block));
  AP_VERB_HEADER unknown{};
  unknown.opcode = 0x0042;
  APPC(&unknown);
  EXPECT_EQ(AP_INVALID_VERB, unknown.primary_rc);
}

TEST_F(AppcTest, FaultsAreStoredInArchitectedOrder) {
  std::string reply;
  struct Case {
    const char* fault;
    int failing_step;  // 0 TP_STARTED ... 5 TP_ENDED
    Rc rc;
  } cases[] = {
      {"TP_STARTED = 0x0001 0x00000003",
       0,
       {AP_PARAMETER_CHECK, AP_BAD_LU_ALIAS}},
      {"ALLOCATE = 0x0003 0x10086021",
       1,
       {AP_ALLOCATION_ERROR, AP_TP_NAME_NOT_RECOGNIZED}},
      {"SEND_DATA = 0x0002 0x000000F2",
       2,
       {AP_STATE_CHECK, AP_SEND_DATA_NOT_SEND_STATE}},
      {"RECEIVE_AND_WAIT = 0x0005", 3, {AP_DEALLOC_ABEND, 0}},
      {"RECEIVE_AND_WAIT.deallocate = 0x0000 0x00000000", 4, {AP_OK, 0}},
      {"TP_ENDED = 0x0002", 5, {AP_STATE_CHECK, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    WriteConfig(
        sna_test::BaseConfig("[faults]\n" + std::string(c.fault) + "\n"));
    Rc got[6] = {TpStarted(),
                 Allocate("hosta", nullptr),
                 SendData(sna_test::Request("ALICE", "SECRET1", "SECRET1")),
                 ReceiveAndWait(&reply),
                 ReceiveAndWait(&reply, 0),
                 TpEnded()};
    EXPECT_EQ(c.rc, got[c.failing_step]);
    for (int step = 0; step < c.failing_step; ++step) {
      EXPECT_TRUE(got[step] == kOk ||
                  (step == 4 && got[step].primary == AP_DEALLOC_NORMAL))
          << "step " << step;
    }
  }
}

TEST_F(AppcTest, AcssvcFaultLeavesTheBytesAlone) {
  WriteConfig(sna_test::BaseConfig("[faults]\nACSSVC = 0x0001\n"));
  CONVERT convert{};
  unsigned char byte = 'A';
  convert.opcode = SV_CONVERT;
  convert.len = 1;
  convert.source = convert.target = &byte;
  ACSSVC(&convert);
  EXPECT_EQ(SV_PARAMETER_CHECK, convert.primary_rc);
  EXPECT_EQ('A', byte);
}

}  // namespace
