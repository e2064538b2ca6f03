// The common service verb entry: ASCII to EBCDIC conversion and back.
// The conversion needs no configuration: without TARPON_SNA_NODE it works
// all the same; a configuration that cannot be read stops it, like the
// other verbs, and one with an ACSSVC fault makes it fail.
#include <cstdlib>

#include "contract/sna_services.h"
#include "sna/code_page.h"
#include "sna/node.h"

extern "C" void ACSSVC(void* verb_control_block) {
  if (verb_control_block == nullptr) return;
  CONVERT* vcb = static_cast<CONVERT*>(verb_control_block);
  // The environment is searched only outside a started node.
  const char* path = nullptr;
  if (sna::Node().startups > 0 || !sna::Node().tps.empty() ||
      ((path = std::getenv("TARPON_SNA_NODE")) != nullptr && *path != '\0')) {
    if (sna::ConfigForVerb(sna::Node().tps.empty()) == nullptr) {
      vcb->primary_rc = SV_COMM_SUBSYSTEM_NOT_LOADED;
      vcb->secondary_rc = 0;
      return;
    }
    if (const sna::Fault* fault = sna::FaultFor("ACSSVC")) {
      vcb->primary_rc = static_cast<uint16_t>(fault->primary);
      vcb->secondary_rc = fault->secondary;
      return;
    }
  }
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
