// Guarded close and fclose: a failure that points at a descriptor mix-up
// stops the process (or traps into a debugger) instead of going unnoticed,
// as QUILLON_SAFE_CLOSE chooses.
#pragma once

#include <cstdio>

namespace Common {

enum SafeCloseMode { kSafeCloseReturn = 0, kSafeCloseAbort = 1, kSafeCloseBreak = 2 };

// Unset gives abort; a value containing "break" gives break, else one
// containing "abort" gives abort, any other value just returns the failure.
SafeCloseMode ParseSafeCloseMode(const char* value);
SafeCloseMode GetSafeCloseMode();

int SafeClose(int fd);
int SafeFclose(FILE* file);

}  // namespace Common
