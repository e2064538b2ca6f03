// The common service verb entry: ASCII to EBCDIC conversion and back.
#include "engine/sna_services.h"
#include "sna/code_page.h"

extern "C" void ACSSVC(void* verb_control_block) {
  CONVERT* vcb = static_cast<CONVERT*>(verb_control_block);
  if (vcb->opcode != SV_CONVERT) {
    vcb->primary_rc = SV_PARAMETER_CHECK;
    return;
  }
  if (vcb->char_set != SV_AE ||
      (vcb->direction != SV_ASCII_TO_EBCDIC &&
       vcb->direction != SV_EBCDIC_TO_ASCII) ||
      (vcb->len > 0 && (vcb->source == nullptr || vcb->target == nullptr))) {
    vcb->primary_rc = SV_PARAMETER_CHECK;
    return;
  }
  if (vcb->direction == SV_ASCII_TO_EBCDIC) {
    sna::AsciiToEbcdic(vcb->source, vcb->target, vcb->len);
  } else {
    sna::EbcdicToAscii(vcb->source, vcb->target, vcb->len);
  }
  vcb->primary_rc = SV_OK;
  vcb->secondary_rc = 0;
}
