// The module identification record: six texts that identify the comm module
// in a memory dump. No operation reads them.
#ifndef TARPON_COMM_MODULE_ID_H_
#define TARPON_COMM_MODULE_ID_H_

// "EYE CATCHER", "TarponRemoteClientSupport", the module version "01.00",
// the build date ("Oct 25 1996"), the build time ("15:31:02") and "comm".
extern const char* const comm_module_identification[6];

#endif  // TARPON_COMM_MODULE_ID_H_
