// A provider of the SNA entry points that has no SNA at all: the CPI-C
// start-up answers with a code of its own and every other call fails. It
// shows that the engine runs on whatever library it is linked with.
#include "tests/stub_sna/stub_sna.h"

#include "contract/sna_services.h"

extern "C" {

int WinCPICStartup(uint16_t, WCPICDATA*) { return kStubStartupCode; }
int WinCPICCleanup(void) { return 0; }

namespace {
void Fail(CM_INT32* rc) { *rc = CM_PRODUCT_SPECIFIC_ERROR; }
void FailVerb(void* block) {
  static_cast<AP_VERB_HEADER*>(block)->primary_rc =
      AP_COMM_SUBSYSTEM_NOT_LOADED;
}
}  // namespace

void cminit(unsigned char*, unsigned char*, CM_INT32* rc) { Fail(rc); }
void cmallc(unsigned char*, CM_INT32* rc) { Fail(rc); }
void cmsend(unsigned char*, unsigned char*, CM_INT32*, CM_INT32*,
            CM_INT32* rc) {
  Fail(rc);
}
void cmrcv(unsigned char*, unsigned char*, CM_INT32*, CM_INT32*, CM_INT32*,
           CM_INT32*, CM_INT32*, CM_INT32* rc) {
  Fail(rc);
}
void cmepln(unsigned char*, unsigned char*, CM_INT32*, CM_INT32* rc) {
  Fail(rc);
}
void cmemn(unsigned char*, unsigned char*, CM_INT32*, CM_INT32* rc) {
  Fail(rc);
}
void cmsct(unsigned char*, CM_INT32*, CM_INT32* rc) { Fail(rc); }
void cmssl(unsigned char*, CM_INT32*, CM_INT32* rc) { Fail(rc); }
void cmsrc(unsigned char*, CM_INT32*, CM_INT32* rc) { Fail(rc); }
void cmsst(unsigned char*, CM_INT32*, CM_INT32* rc) { Fail(rc); }
void cmsptr(unsigned char*, CM_INT32*, CM_INT32* rc) { Fail(rc); }
void cmsrt(unsigned char*, CM_INT32*, CM_INT32* rc) { Fail(rc); }
void cmsf(unsigned char*, CM_INT32*, CM_INT32* rc) { Fail(rc); }
void cmsmn(unsigned char*, unsigned char*, CM_INT32*, CM_INT32* rc) {
  Fail(rc);
}
void cmspln(unsigned char*, unsigned char*, CM_INT32*, CM_INT32* rc) {
  Fail(rc);
}
void cmsdt(unsigned char*, CM_INT32*, CM_INT32* rc) { Fail(rc); }
void cmdeal(unsigned char*, CM_INT32* rc) { Fail(rc); }
void APPC(void* block) { FailVerb(block); }
void ACSSVC(void* block) { FailVerb(block); }

}  // extern "C"
