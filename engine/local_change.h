// The local password change, reached with "-local" or when no destination
// is named. Not available in this system.
#ifndef TARPON_ENGINE_LOCAL_CHANGE_H_
#define TARPON_ENGINE_LOCAL_CHANGE_H_

#include "engine/ccb.h"

// Environment variable and default program name reserved for a local
// password exit program; not used by this system.
extern const char* const PASSWORD_EXIT_VARIABLE;  // "TARPON_PASSWORD_EXIT"
extern const char* const PASSWORD_EXIT_PROGRAM;   // " tarponcp"

// Reports the exit return code 16 ("Function not supported at this time")
// and returns TARPON_RC_LOCAL_UNAVAILABLE.
int change_local_password(CCB_PTR ccb);

#endif  // TARPON_ENGINE_LOCAL_CHANGE_H_
