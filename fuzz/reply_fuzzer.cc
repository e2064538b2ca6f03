// process_reply on fuzzed reply bytes. The first four bytes of the input
// give replyLength (any signed value, as a faulty SNA layer might store);
// up to 15 further bytes are the reply in the 15-byte reply buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/ccb.h"
#include "engine/ksv_request.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  int32_t replyLength = 0;
  std::memcpy(&replyLength, data, sizeof replyLength);
  data += 4;
  size -= 4;

  fuzz::QuietStreams quiet;
  CCB ccb;
  FUZZ_CHECK(ccb.constructed == 1);
  // What the buffer held before: a byte the reply never sent.
  std::memset(ccb.replyBuffer, 0xEE, GDS_REPLY_BUFFER_SIZE);
  size_t copied = size < static_cast<size_t>(GDS_REPLY_BUFFER_SIZE)
                      ? size
                      : static_cast<size_t>(GDS_REPLY_BUFFER_SIZE);
  std::memcpy(ccb.replyBuffer, data, copied);
  ccb.replyLength = replyLength;

  int rc = process_reply(&ccb);

  const unsigned char* reply = ccb.replyBuffer;
  bool framed = replyLength > 0 && reply[2] == 0x12 && reply[3] == 0x21 &&
                reply[6] == 0xFF && reply[7] == 0x02;
  if (!framed) {
    FUZZ_CHECK(rc == 1024);
    return 0;
  }
  // The status byte sits at offset 10; a reply that did not reach it, or
  // claims more than the buffer holds, is unusable.
  if (replyLength < 11 || replyLength > GDS_REPLY_BUFFER_SIZE) {
    FUZZ_CHECK(rc == 1024);
    return 0;
  }
  unsigned char status = reply[10];
  if (status == 0x00 || status == 0x08) {
    FUZZ_CHECK(rc == 0);
  } else if (status == 0x06) {
    FUZZ_CHECK(rc == (replyLength < 15 ? 1024 : 1020));
  } else {
    FUZZ_CHECK(rc == 2000 + status);
  }
  return 0;
}
