#include "comm/module_id.h"

__attribute__((used)) const char* const comm_module_identification[6] = {
    "EYE CATCHER", "TarponRemoteClientSupport", "01.00", __DATE__, __TIME__,
    "comm"};
