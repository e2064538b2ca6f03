#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "contract/sna_services.h"

namespace {

int Convert(uint8_t direction, unsigned char* bytes, uint16_t length) {
  CONVERT vcb;
  std::memset(&vcb, 0, sizeof vcb);
  vcb.opcode = SV_CONVERT;
  vcb.direction = direction;
  vcb.char_set = SV_AE;
  vcb.len = length;
  vcb.source = bytes;
  vcb.target = bytes;
  ACSSVC(&vcb);
  return vcb.primary_rc;
}

TEST(AcssvcTest, ConvertsNamesToCodePage037AndBack) {
  unsigned char text[] = "SEC2R01 #BATCH@$ az";
  ASSERT_EQ(SV_OK, Convert(SV_ASCII_TO_EBCDIC, text, 19));
  const unsigned char expected[] = {0xE2, 0xC5, 0xC3, 0xF2, 0xD9, 0xF0, 0xF1,
                                    0x40, 0x7B, 0xC2, 0xC1, 0xE3, 0xC3, 0xC8,
                                    0x7C, 0x5B, 0x40, 0x81, 0xA9};
  EXPECT_EQ(0, std::memcmp(expected, text, 19));
  EXPECT_EQ(0, text[19]);  // the terminator is not converted
  ASSERT_EQ(SV_OK, Convert(SV_EBCDIC_TO_ASCII, text, 19));
  EXPECT_EQ(std::string("SEC2R01 #BATCH@$ az"),
            std::string(reinterpret_cast<char*>(text)));
}

TEST(AcssvcTest, EveryByteSurvivesARoundTrip) {
  unsigned char all[256];
  for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
  ASSERT_EQ(SV_OK, Convert(SV_ASCII_TO_EBCDIC, all, 256));
  ASSERT_EQ(SV_OK, Convert(SV_EBCDIC_TO_ASCII, all, 256));
  for (int i = 0; i < 256; ++i) EXPECT_EQ(i, all[i]);
}

TEST(AcssvcTest, RefusesBadBlocks) {
  unsigned char byte = 'A';
  EXPECT_EQ(SV_PARAMETER_CHECK, Convert(7, &byte, 1));
  CONVERT vcb;
  std::memset(&vcb, 0, sizeof vcb);
  vcb.opcode = 0x1234;
  ACSSVC(&vcb);
  EXPECT_EQ(SV_PARAMETER_CHECK, vcb.primary_rc);
  EXPECT_EQ('A', byte);
}

}  // namespace
