#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "contract/sna_services.h"
#include "tests/support/test_node.h"

namespace {

class CpicTest : public sna_test::NodeTest {
 protected:
  void Start() {
    WCPICDATA data;
    ASSERT_EQ(0, WinCPICStartup(0x0001, &data));
  }
  CM_INT32 Init(const char* symdest) {
    unsigned char name[9];
    std::snprintf(reinterpret_cast<char*>(name), sizeof name, "%-8s", symdest);
    CM_INT32 rc = -1;
    cminit(id_, name, &rc);
    return rc;
  }
  CM_INT32 Set(void (*call)(unsigned char*, CM_INT32*, CM_INT32*),
               CM_INT32 value) {
    CM_INT32 rc = -1;
    call(id_, &value, &rc);
    return rc;
  }
  CM_INT32 SetName(void (*call)(unsigned char*, unsigned char*, CM_INT32*,
                                CM_INT32*),
                   const std::string& name) {
    CM_INT32 length = static_cast<CM_INT32>(name.size());
    CM_INT32 rc = -1;
    call(id_, reinterpret_cast<unsigned char*>(const_cast<char*>(name.data())),
         &length, &rc);
    return rc;
  }
  // The engine's nine characteristic calls; the first failing return code.
  CM_INT32 Characterise(const std::string& mode, const std::string& partner) {
    CM_INT32 rc;
    if ((rc = Set(cmsct, CM_BASIC_CONVERSATION)) != CM_OK) return rc;
    if ((rc = SetName(cmsmn, mode)) != CM_OK) return rc;
    if ((rc = Set(cmssl, CM_NONE)) != CM_OK) return rc;
    if ((rc = Set(cmsrc, CM_WHEN_SESSION_ALLOCATED)) != CM_OK) return rc;
    if ((rc = SetName(cmspln, partner)) != CM_OK) return rc;
    if ((rc = Set(cmsst, CM_SEND_AND_PREP_TO_RECEIVE)) != CM_OK) return rc;
    if ((rc = Set(cmsptr, CM_PREP_TO_RECEIVE_SYNC_LEVEL)) != CM_OK) return rc;
    if ((rc = Set(cmsrt, CM_RECEIVE_AND_WAIT)) != CM_OK) return rc;
    return Set(cmsf, CM_FILL_BUFFER);
  }
  CM_INT32 Allocate() {
    CM_INT32 rc = -1;
    cmallc(id_, &rc);
    return rc;
  }
  CM_INT32 Send(const std::string& data) {
    CM_INT32 length = static_cast<CM_INT32>(data.size());
    CM_INT32 rts = -1;
    CM_INT32 rc = -1;
    cmsend(id_,
           reinterpret_cast<unsigned char*>(const_cast<char*>(data.data())),
           &length, &rts, &rc);
    return rc;
  }
  // Receives up to 15 bytes into "*data" (as hex).
  CM_INT32 Receive(std::string* data, CM_INT32 requested = 15) {
    unsigned char buffer[64];
    CM_INT32 received = -1, what = -1, status = -1, rts = -1, rc = -1;
    cmrcv(id_, buffer, &requested, &what, &received, &status, &rts, &rc);
    *data = sna_test::Hex(std::string(reinterpret_cast<char*>(buffer),
                                      received > 0 ? received : 0));
    return rc;
  }
  CM_INT32 FullRequest(const std::string& request, std::string* reply) {
    CM_INT32 rc;
    if ((rc = Init("KSVSYM")) != CM_OK) return rc;
    if ((rc = Characterise("#batch", "NETA.KSVHOST")) != CM_OK) return rc;
    if ((rc = Allocate()) != CM_OK) return rc;
    if ((rc = Send(request)) != CM_OK) return rc;
    return Receive(reply);
  }

  unsigned char id_[8] = {0};
};

TEST_F(CpicTest, ChangesAPasswordFromStartToDeallocation) {
  Start();
  ASSERT_EQ(CM_OK, Init("KSVSYM"));
  unsigned char name[32];
  CM_INT32 length = 0;
  CM_INT32 rc = -1;
  cmepln(id_, name, &length, &rc);
  ASSERT_EQ(CM_OK, rc);
  EXPECT_EQ("NETA.KSVHOST", std::string(reinterpret_cast<char*>(name), length));
  cmemn(id_, name, &length, &rc);
  ASSERT_EQ(CM_OK, rc);
  EXPECT_EQ("#BATCH", std::string(reinterpret_cast<char*>(name), length));
  ASSERT_EQ(CM_OK, Characterise("#BATCH", "hosta"));
  ASSERT_EQ(CM_OK, Allocate());
  ASSERT_EQ(CM_OK, Send(sna_test::Request("alice", "secret1", "new1")));
  std::string reply;
  EXPECT_EQ(CM_DEALLOCATED_NORMAL, Receive(&reply));
  EXPECT_EQ(sna_test::ReplyHex(0), reply);
  EXPECT_NE(std::string::npos, ReadFile("users.db").find("ALICE     NEW1"));
  // The conversation is over: its id is unknown now.
  EXPECT_EQ(CM_PROGRAM_PARAMETER_CHECK, Receive(&reply));
}

TEST_F(CpicTest, MisconfigurationRows) {
  WriteConfig(sna_test::BaseConfig(
      "[side_info BADTP]\npartner_lu = hosta\nmode = #BATCH\n"
      "tp_name = x'06F3F0F2'\n"
      "[side_info SECURE]\npartner_lu = hosta\nmode = #BATCH\n"
      "tp_name = x'06F3F0F1'\nsecurity = same\n"));
  Start();
  std::string reply;
  EXPECT_EQ(CM_PROGRAM_PARAMETER_CHECK, Init("NOSUCH"));
  EXPECT_EQ(CM_PROGRAM_PARAMETER_CHECK, Init(""));
  // The local LU comes from APPCLLU; an alias the node lacks is refused.
  const struct {
    const char* local_lu;
    CM_INT32 rc;
  } local_lus[] = {{"WKSTN1", CM_OK},
                   {"", CM_OK},
                   {"wkstn1", CM_PROGRAM_PARAMETER_CHECK},
                   {"NOPE", CM_PROGRAM_PARAMETER_CHECK}};
  for (const auto& c : local_lus) {
    SCOPED_TRACE(c.local_lu);
    setenv("APPCLLU", c.local_lu, 1);
    EXPECT_EQ(c.rc, Init("KSVSYM"));
  }
  unsetenv("APPCLLU");

  ASSERT_EQ(CM_OK, Init("KSVSYM"));
  ASSERT_EQ(CM_OK, Characterise("#BATCH", "nosuch"));
  EXPECT_EQ(CM_PARAMETER_ERROR, Allocate());
  // A parameter error leaves the conversation to be corrected.
  ASSERT_EQ(CM_OK, SetName(cmsmn, "#NONE"));
  ASSERT_EQ(CM_OK, SetName(cmspln, "hosta"));
  EXPECT_EQ(CM_PARAMETER_ERROR, Allocate());
  ASSERT_EQ(CM_OK, SetName(cmspln, "other"));
  ASSERT_EQ(CM_OK, SetName(cmsmn, "#inter"));
  EXPECT_EQ(CM_ALLOCATE_FAILURE_NO_RETRY, Allocate());

  ASSERT_EQ(CM_OK, Init("BADTP"));
  ASSERT_EQ(CM_OK, Allocate());
  ASSERT_EQ(CM_OK, Set(cmsst, CM_SEND_AND_PREP_TO_RECEIVE));
  ASSERT_EQ(CM_OK, Send(sna_test::Request("ALICE", "SECRET1", "NEW1")));
  EXPECT_EQ(CM_TPN_NOT_RECOGNIZED, Receive(&reply));

  ASSERT_EQ(CM_OK, Init("SECURE"));
  ASSERT_EQ(CM_OK, Allocate());
  ASSERT_EQ(CM_OK, Send(sna_test::Request("ALICE", "SECRET1", "NEW1")));
  EXPECT_EQ(CM_SECURITY_NOT_VALID, Receive(&reply));
  // Neither reached the user database.
  EXPECT_EQ(sna_test::BaseUsers(), ReadFile("users.db"));
}

TEST_F(CpicTest, StateAndParameterChecks) {
  std::string reply;
  EXPECT_EQ(CM_PROGRAM_STATE_CHECK, Init("KSVSYM"));  // not started
  Start();
  ASSERT_EQ(CM_OK, Init("KSVSYM"));
  EXPECT_EQ(CM_PROGRAM_STATE_CHECK, Send("x"));
  EXPECT_EQ(CM_PROGRAM_STATE_CHECK, Receive(&reply));
  EXPECT_EQ(CM_PROGRAM_PARAMETER_CHECK, Set(cmsct, 2));
  EXPECT_EQ(CM_PROGRAM_PARAMETER_CHECK, Set(cmssl, 2));
  EXPECT_EQ(CM_PROGRAM_PARAMETER_CHECK, Set(cmsst, 5));
  EXPECT_EQ(CM_PROGRAM_PARAMETER_CHECK, Set(cmsf, -1));
  EXPECT_EQ(CM_PROGRAM_PARAMETER_CHECK, SetName(cmsmn, "NINECHARS"));
  EXPECT_EQ(CM_PROGRAM_PARAMETER_CHECK, SetName(cmspln, ""));
  EXPECT_EQ(CM_PROGRAM_PARAMETER_CHECK, SetName(cmspln, "NETWORK1.LUNAME123"));
  ASSERT_EQ(CM_OK, Allocate());
  EXPECT_EQ(CM_PROGRAM_STATE_CHECK, Allocate());
  EXPECT_EQ(CM_PROGRAM_STATE_CHECK, Set(cmsct, CM_BASIC_CONVERSATION));
  EXPECT_EQ(CM_PROGRAM_STATE_CHECK, SetName(cmsmn, "#BATCH"));
  ASSERT_EQ(CM_OK, Set(cmsst, CM_SEND_AND_CONFIRM));
  EXPECT_EQ(CM_PROGRAM_STATE_CHECK, Send("x"));  // sync level none
  ASSERT_EQ(CM_OK, Set(cmsst, CM_BUFFER_DATA));
  std::string request = sna_test::Request("ALICE", "SECRET1", "NEW1");
  ASSERT_EQ(CM_OK, Send(request.substr(0, 5)));
  ASSERT_EQ(CM_OK, Send(request.substr(5)));
  // Receiving in send state sends what was buffered; the reply comes in
  // pieces when the buffer is small.
  EXPECT_EQ(CM_OK, Receive(&reply, 4));
  EXPECT_EQ("000B1221", reply);
  EXPECT_EQ(CM_PROGRAM_STATE_CHECK, Send("x"));
  Set(cmsdt, CM_DEALLOCATE_FLUSH);
  CM_INT32 rc = -1;
  cmdeal(id_, &rc);
  EXPECT_EQ(CM_PROGRAM_STATE_CHECK, rc);
  EXPECT_EQ(CM_DEALLOCATED_NORMAL, Receive(&reply));
  EXPECT_EQ("0007FF02030000", reply);
  unsigned char unknown[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  std::memcpy(id_, unknown, 8);
  EXPECT_EQ(CM_PROGRAM_PARAMETER_CHECK, Set(cmsf, CM_FILL_BUFFER));
  // Cleaning up ends every conversation left open.
  ASSERT_EQ(CM_OK, Init("KSVSYM"));
  EXPECT_EQ(0, WinCPICCleanup());
  Start();
  EXPECT_EQ(CM_PROGRAM_PARAMETER_CHECK, Allocate());
}

TEST_F(CpicTest, FaultsAndReplyInjection) {
  WriteConfig(sna_test::BaseConfig(
      "[faults]\ncmsptr = 20\nreply = x'000B12210007FF01030100'\n"));
  Start();
  ASSERT_EQ(CM_OK, Init("KSVSYM"));
  EXPECT_EQ(20, Set(cmsptr, CM_PREP_TO_RECEIVE_SYNC_LEVEL));
  std::string reply;
  WriteConfig(
      sna_test::BaseConfig("[faults]\nreply = x'000B12210007FF01030100'\n"));
  Start();
  EXPECT_EQ(CM_DEALLOCATED_NORMAL,
            FullRequest(sna_test::Request("ALICE", "SECRET1", "NEW1"), &reply));
  EXPECT_EQ("000B12210007FF01030100", reply);
  EXPECT_EQ(sna_test::BaseUsers(), ReadFile("users.db"));

  const char* calls[] = {"cminit", "cmsct",  "cmsmn",  "cmssl", "cmsrc",
                         "cmspln", "cmsst",  "cmsptr", "cmsrt", "cmsf",
                         "cmallc", "cmsend", "cmrcv"};
  for (const char* call : calls) {
    SCOPED_TRACE(call);
    WriteConfig(
        sna_test::BaseConfig("[faults]\n" + std::string(call) + " = 27\n"));
    Start();
    EXPECT_EQ(
        27, FullRequest(sna_test::Request("ALICE", "SECRET1", "NEW1"), &reply));
  }
  WriteConfig(sna_test::BaseConfig("[faults]\nWinCPICStartup = 0xF003\n"));
  WCPICDATA data;
  EXPECT_EQ(WCPICSYSNOTREADY, WinCPICStartup(0x0001, &data));
}

}  // namespace
