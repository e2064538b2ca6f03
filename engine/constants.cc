#include "engine/ccb.h"
#include "engine/status.h"

const char* const KSV_VERSION_TEXT = "02.00";
const char* const KSV_PRODUCT_BANNER =
    "Veltrix Korvid Common Server\nKeysaver utility completed";
const char* const LOCAL_TP_NAME = "Korvid_KSV_client";
