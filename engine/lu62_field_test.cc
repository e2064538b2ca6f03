#include "engine/lu62_field.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "trace/program_output.h"

namespace {

std::string FieldText(const char* data, size_t length) {
  return std::string(data, length);
}

TEST(Lu62FieldTest, SetAcceptsUpToTheMaximumAndRefusesLonger) {
  struct Case {
    const char* value;
    uint32_t maxLength;
    int rc;
  } cases[] = {
      {"ABCDEFGH", 8, 0},
      {"ABCDEFGHI", 8, 14},
      {"", 8, 0},
      {"NETA.KSVHOST", 17, 0},
      {"NETWORK1.APPLID12", 17, 0},
      {"NETWORK1.APPLID123", 17, 14},
      {"", 0, 0},
      {"X", 0, 14},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.value) + "/" + std::to_string(c.maxLength));
    Lu62Field field;
    EXPECT_EQ(c.rc, field.set(c.value, c.maxLength));
    if (c.rc == 0) {
      EXPECT_EQ(1, field.isSet());
      EXPECT_EQ(0, field.isNotSet());
      EXPECT_EQ(std::strlen(c.value), field.length());
      EXPECT_EQ(c.maxLength, field.getMaxLength());
      EXPECT_EQ(c.maxLength, field.getConvertedLength());
      EXPECT_EQ(std::string(c.value), field.get());
    } else {
      EXPECT_EQ(0, field.isSet());
      EXPECT_EQ(1, field.isNotSet());
      EXPECT_EQ(0u, field.length());
      EXPECT_EQ(std::string(), field.print());
    }
  }
}

TEST(Lu62FieldTest, RefusedSetDropsTheEarlierValue) {
  Lu62Field field;
  ASSERT_EQ(0, field.set("HOSTA", 8));
  EXPECT_EQ(14, field.set("TOOLONGNAME", 8));
  EXPECT_EQ(0, field.isSet());
  EXPECT_EQ(0u, field.length());
  EXPECT_EQ(std::string(), field.print());
  EXPECT_EQ(std::string(), field.getPadUpper());
}

TEST(Lu62FieldTest, FieldNeverSetIsEmpty) {
  Lu62Field field;
  EXPECT_EQ(0, field.isSet());
  EXPECT_EQ(1, field.isNotSet());
  EXPECT_EQ(0u, field.length());
  EXPECT_EQ(0u, field.getMaxLength());
  EXPECT_EQ(std::string(), field.print());
  EXPECT_EQ(std::string(), field.get());
  EXPECT_EQ(std::string(), field.getPadUpperEbcdic());
}

TEST(Lu62FieldTest, ViewsOfAModeName) {
  struct Case {
    const char* name;
    char* (Lu62Field::*view)();
    std::string expected;  // the bytes up to and with the terminator
    uint32_t convertedLength;
  } cases[] = {
      {"get", &Lu62Field::get, std::string("#batch\0", 7), 6},
      {"getUpper", &Lu62Field::getUpper, std::string("#BATCH\0", 7), 6},
      {"getPad", &Lu62Field::getPad, std::string("#batch  \0", 9), 8},
      {"getPadUpper", &Lu62Field::getPadUpper, std::string("#BATCH  \0", 9), 8},
      {"getEbcdic", &Lu62Field::getEbcdic,
       std::string("\x7B\x82\x81\xA3\x83\x88\0", 7), 6},
      {"getUpperEbcdic", &Lu62Field::getUpperEbcdic,
       std::string("\x7B\xC2\xC1\xE3\xC3\xC8\0", 7), 6},
      {"getPadUpperEbcdic", &Lu62Field::getPadUpperEbcdic,
       std::string("\x7B\xC2\xC1\xE3\xC3\xC8\x40\x40\0", 9), 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Lu62Field field;
    ASSERT_EQ(0, field.set("#batch", 8));
    char* result = (field.*c.view)();
    EXPECT_EQ(c.expected, FieldText(result, c.expected.size()));
    // The views never touch the stored value.
    EXPECT_EQ(std::string("#batch"), field.print());
    EXPECT_EQ(6u, field.length());
    EXPECT_EQ(8u, field.getMaxLength());
  }
}

TEST(Lu62FieldTest, EmptyValuePadsToTheMaximum) {
  Lu62Field field;
  ASSERT_EQ(0, field.set("", 8));
  EXPECT_EQ(0u, field.length());
  EXPECT_EQ(std::string(), field.get());
  EXPECT_EQ(std::string("        "), field.getPad());
  EXPECT_EQ(std::string(8, '\x40'), FieldText(field.getPadUpperEbcdic(), 8));
}

TEST(Lu62FieldTest, PadCharacterIsUsedByThePaddedViewsOnly) {
  Lu62Field field;
  ASSERT_EQ(0, field.set("lu1", 6));
  field.setPadCharacter('*');
  EXPECT_EQ(std::string("lu1***"), field.getPad());
  EXPECT_EQ(std::string("LU1***"), field.getPadUpper());
  EXPECT_EQ(std::string("LU1"), field.getUpper());
}

TEST(Lu62FieldTest, NextViewOverwritesTheLastResult) {
  Lu62Field field;
  ASSERT_EQ(0, field.set("MiXd", 8));
  char* first = field.getPadUpper();
  EXPECT_EQ(std::string("MIXD    "), first);
  char* second = field.get();
  EXPECT_EQ(first, second);
  EXPECT_EQ(std::string("MiXd"), first);
}

TEST(Lu62FieldTest, SetFromItsOwnViewKeepsTheValue) {
  Lu62Field field;
  ASSERT_EQ(0, field.set("netA.host", 17));
  ASSERT_EQ(0, field.set(field.getUpper(), 17));
  EXPECT_EQ(std::string("NETA.HOST"), field.print());
}

TEST(Lu62FieldTest, SetWithoutMaximumGrowsOrKeepsIt) {
  Lu62Field field;
  ASSERT_EQ(0, field.set("ABC", 8));
  field.set("XY");
  EXPECT_EQ(std::string("XY"), field.get());
  EXPECT_EQ(8u, field.getMaxLength());
  EXPECT_EQ(std::string("XY      "), field.getPad());

  field.set("LONGERTHAN8");
  EXPECT_EQ(1, field.isSet());
  EXPECT_EQ(11u, field.getMaxLength());
  EXPECT_EQ(std::string("LONGERTHAN8"), field.getPad());

  Lu62Field fresh;
  fresh.set("NEW");
  EXPECT_EQ(1, fresh.isSet());
  EXPECT_EQ(std::string("NEW"), fresh.get());
}

TEST(PadFieldTest, FillsAndTerminatesWhereTheFillingStopped) {
  struct Case {
    uint16_t from;
    int32_t to;
    uint8_t terminate;
    std::string expected;
  } cases[] = {
      {2, 5, 1, std::string("ab---\0xx", 8)},
      {2, 2, 1, std::string("ab\0xxxxx", 8)},  // only the NUL
      {4, 2, 1, std::string("abxx\0xxx", 8)},  // nothing to fill
      {2, 5, 0, std::string("ab---xxx", 8)},   // no NUL
      {2, 5, 2, std::string("ab---xxx", 8)},   // only 1 terminates
      {0, 7, 1, std::string("-------\0", 8)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.from) + ".." + std::to_string(c.to));
    char buffer[8];
    std::memcpy(buffer, "abxxxxxx", 8);
    pad_field(buffer, c.from, c.to, '-', c.terminate);
    EXPECT_EQ(c.expected, FieldText(buffer, 8));
  }
}

TEST(ToupperInternalTest, UpperCasesOnlyTheGivenLettersOfAToZ) {
  char buffer[] = "ab#z9\xe4q@xy";
  toupper_internal(buffer, 8);
  EXPECT_EQ(std::string("AB#Z9\xe4Q@xy"), buffer);
}

TEST(AsciiToEbcdicTest, ConvertsInPlaceAndLeavesTheRestAlone) {
  char buffer[] = "SEC2R01 az";
  EXPECT_EQ(0, ascii_to_ebcdic(buffer, buffer, 7));
  EXPECT_EQ(std::string("\xE2\xC5\xC3\xF2\xD9\xF0\xF1 az"), buffer);
}

TEST(AsciiToEbcdicTest, FailedServiceIsReportedWithItsReturnCode) {
  OutputCapture out;
  EXPECT_EQ(19, ascii_to_ebcdic(nullptr, nullptr, 4));
  EXPECT_EQ(
      "ERROR 33. Korvid Common Server KSV client version 02.00\n"
      "Api .................................. ACSSVC( ASCII_TO_EBCDIC )\n"
      "Return code .......................... 1 \n",
      out.Text());
}

TEST(SharedMemoryTest, BlocksComeZeroed) {
  // Dirty some heap first so that a reused block would show it.
  for (int round = 0; round < 4; ++round) {
    unsigned char* dirty = allocate_shared_memory(38);
    ASSERT_NE(nullptr, dirty);
    std::memset(dirty, 0xA5, 38);
    free_shared_memory(dirty);
  }
  unsigned char* block = allocate_shared_memory(38);
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(std::string(38, '\0'),
            std::string(reinterpret_cast<char*>(block), 38));
  free_shared_memory(block);
}

}  // namespace
