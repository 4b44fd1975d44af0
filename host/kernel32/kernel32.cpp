/*
 * kernel32.cpp - the kernel stand-in: the thread's last-error value.
 */
#include "kernel32.h"

namespace {

thread_local DWORD last_error = 0;

} // namespace

extern "C" {

void SetLastError(DWORD code) { last_error = code; }
void Kernel32StandInSetLastError(DWORD code) { last_error = code; }
DWORD GetLastError(void) { return last_error; }

} // extern "C"
