#pragma once
// Memory reads that fail instead of faulting, for the crash reporter, which reads code bytes,
// stack words and image headers of a process that has just crashed. mingw has no compiler SEH, so
// the reads are three tiny assembly routines, and a vectored exception handler turns a fault at
// exactly their load instruction into a failed read by resuming at a return-false path.
#include <cstdint>

namespace tarn {

// Installs the vectored handler; idempotent. Done at the reporter's installation, not at crash
// time, since installing allocates.
void InstallReadGuard();
void RemoveReadGuard();

// Without the handler installed the reads fall back to IsBadReadPtr before reading.
bool GuardedReadByte(uintptr_t address, uint8_t* value);
bool GuardedReadU32(uintptr_t address, uint32_t* value);
bool GuardedReadPointer(uintptr_t address, uintptr_t* value);

}  // namespace tarn
