// The check that keeps a manifest name inside the directory it is copied into.
#ifndef RELAYHIVE_UPDATE_SAFE_NAME_H
#define RELAYHIVE_UPDATE_SAFE_NAME_H

#include "target/name.h"

// nullptr when name, joined below a directory, stays inside that directory
// and means the same file to a platform of that style; otherwise why it is
// refused. Both separators split components in either style, so a manifest
// written for one platform cannot escape on the other; a Windows name is read
// in characters of its code page, as Windows reads it.
const char* UnsafeNameReason(const char* name, PathStyle style, const CodePage& codePage);


#endif
