// The publisher key of signed update lists, kept in a file of its own so
// that a build can link the same objects with another key (the tests do).
#include "update/update_verify_win.h"

#ifndef KL_UPDATE_PUBLIC_KEY
#define KL_UPDATE_PUBLIC_KEY ""
#endif

const char* BuiltInUpdateKeyText() { return KL_UPDATE_PUBLIC_KEY; }
