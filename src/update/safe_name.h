// The check that keeps a manifest name inside the directory it is copied into.
#ifndef RELAYHIVE_UPDATE_SAFE_NAME_H
#define RELAYHIVE_UPDATE_SAFE_NAME_H

// nullptr when name, joined below a directory, stays inside that directory
// and means the same file to the platform; otherwise why it is refused.
const char* UnsafeNameReason(const char* name);

#endif
