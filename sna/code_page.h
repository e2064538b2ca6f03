// EBCDIC code page 037, the node's one conversion table.
#ifndef TARPON_SNA_CODE_PAGE_H_
#define TARPON_SNA_CODE_PAGE_H_

#include <cstddef>

namespace sna {

extern const unsigned char kAsciiToEbcdic[256];
extern const unsigned char kEbcdicToAscii[256];

// Convert "length" bytes; source and target may be the same buffer.
void AsciiToEbcdic(const unsigned char* source, unsigned char* target,
                   size_t length);
void EbcdicToAscii(const unsigned char* source, unsigned char* target,
                   size_t length);

}  // namespace sna

#endif  // TARPON_SNA_CODE_PAGE_H_
