#include "crash/read_guard_win32.h"

#include "platform/win32.h"

// Each routine takes (address, out), loads at a labelled instruction, stores the value and returns
// 1. A fault can only happen at the labelled load; the handler then resumes at
// tarn_guarded_read_fail, which returns 0. The routines touch only scratch registers and no stack,
// so resuming there needs nothing restored.
#if defined(__x86_64__)
// Microsoft x64 convention: address in RCX, out in RDX.
__asm__(
    ".text\n"
    ".p2align 4\n"
    ".globl tarn_guarded_read8\n"
    "tarn_guarded_read8:\n"
    ".globl tarn_guarded_read8_at\n"
    "tarn_guarded_read8_at:\n"
    "    movzbl (%rcx), %eax\n"
    "    movb %al, (%rdx)\n"
    "    movl $1, %eax\n"
    "    ret\n"
    ".p2align 4\n"
    ".globl tarn_guarded_read32\n"
    "tarn_guarded_read32:\n"
    ".globl tarn_guarded_read32_at\n"
    "tarn_guarded_read32_at:\n"
    "    movl (%rcx), %eax\n"
    "    movl %eax, (%rdx)\n"
    "    movl $1, %eax\n"
    "    ret\n"
    ".p2align 4\n"
    ".globl tarn_guarded_read_ptr\n"
    "tarn_guarded_read_ptr:\n"
    ".globl tarn_guarded_read_ptr_at\n"
    "tarn_guarded_read_ptr_at:\n"
    "    movq (%rcx), %rax\n"
    "    movq %rax, (%rdx)\n"
    "    movl $1, %eax\n"
    "    ret\n"
    ".p2align 4\n"
    ".globl tarn_guarded_read_fail\n"
    "tarn_guarded_read_fail:\n"
    "    xorl %eax, %eax\n"
    "    ret\n");
#elif defined(__i386__)
// cdecl: address and out on the stack.
__asm__(
    ".text\n"
    ".p2align 4\n"
    ".globl tarn_guarded_read8\n"
    "tarn_guarded_read8:\n"
    "    movl 4(%esp), %ecx\n"
    "    movl 8(%esp), %edx\n"
    ".globl tarn_guarded_read8_at\n"
    "tarn_guarded_read8_at:\n"
    "    movzbl (%ecx), %eax\n"
    "    movb %al, (%edx)\n"
    "    movl $1, %eax\n"
    "    ret\n"
    ".p2align 4\n"
    ".globl tarn_guarded_read32\n"
    "tarn_guarded_read32:\n"
    ".globl tarn_guarded_read_ptr\n"
    "tarn_guarded_read_ptr:\n"
    "    movl 4(%esp), %ecx\n"
    "    movl 8(%esp), %edx\n"
    ".globl tarn_guarded_read32_at\n"
    "tarn_guarded_read32_at:\n"
    ".globl tarn_guarded_read_ptr_at\n"
    "tarn_guarded_read_ptr_at:\n"
    "    movl (%ecx), %eax\n"
    "    movl %eax, (%edx)\n"
    "    movl $1, %eax\n"
    "    ret\n"
    ".p2align 4\n"
    ".globl tarn_guarded_read_fail\n"
    "tarn_guarded_read_fail:\n"
    "    xorl %eax, %eax\n"
    "    ret\n");
#else
#error "guarded reads are written for x86 and x86-64"
#endif

extern "C" {
int TarnGuardedRead8(const void* address, uint8_t* out) __asm__("tarn_guarded_read8");
int TarnGuardedRead32(const void* address, uint32_t* out) __asm__("tarn_guarded_read32");
int TarnGuardedReadPtr(const void* address, uintptr_t* out) __asm__("tarn_guarded_read_ptr");
extern const char TarnGuardedRead8At[] __asm__("tarn_guarded_read8_at");
extern const char TarnGuardedRead32At[] __asm__("tarn_guarded_read32_at");
extern const char TarnGuardedReadPtrAt[] __asm__("tarn_guarded_read_ptr_at");
extern const char TarnGuardedReadFail[] __asm__("tarn_guarded_read_fail");
}

namespace tarn {
namespace {

PVOID g_handler = nullptr;

bool IsGuardedLoad(uintptr_t pc) {
    return pc == reinterpret_cast<uintptr_t>(TarnGuardedRead8At) ||
           pc == reinterpret_cast<uintptr_t>(TarnGuardedRead32At) ||
           pc == reinterpret_cast<uintptr_t>(TarnGuardedReadPtrAt);
}

// Runs before any frame-based handler, on the faulting thread. Any exception at one of the
// labelled loads is a failed read (access violation, in-page error, guard page); everything else
// passes on untouched.
LONG CALLBACK ReadGuardHandler(EXCEPTION_POINTERS* info) {
    CONTEXT* context = info->ContextRecord;
#if defined(__x86_64__)
    if (!IsGuardedLoad(static_cast<uintptr_t>(context->Rip))) return EXCEPTION_CONTINUE_SEARCH;
    context->Rip = reinterpret_cast<uintptr_t>(TarnGuardedReadFail);
#else
    if (!IsGuardedLoad(static_cast<uintptr_t>(context->Eip))) return EXCEPTION_CONTINUE_SEARCH;
    context->Eip = reinterpret_cast<uintptr_t>(TarnGuardedReadFail);
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

bool Readable(uintptr_t address, size_t size) {
    if (g_handler != nullptr) return true;
    return ::IsBadReadPtr(reinterpret_cast<const void*>(address), size) == 0;
}

}  // namespace

void InstallReadGuard() {
    if (g_handler == nullptr) g_handler = ::AddVectoredExceptionHandler(1, ReadGuardHandler);
}

void RemoveReadGuard() {
    if (g_handler != nullptr) ::RemoveVectoredExceptionHandler(g_handler);
    g_handler = nullptr;
}

bool GuardedReadByte(uintptr_t address, uint8_t* value) {
    return Readable(address, 1) && TarnGuardedRead8(reinterpret_cast<const void*>(address), value) != 0;
}

bool GuardedReadU32(uintptr_t address, uint32_t* value) {
    return Readable(address, 4) && TarnGuardedRead32(reinterpret_cast<const void*>(address), value) != 0;
}

bool GuardedReadPointer(uintptr_t address, uintptr_t* value) {
    return Readable(address, sizeof(uintptr_t)) &&
           TarnGuardedReadPtr(reinterpret_cast<const void*>(address), value) != 0;
}

}  // namespace tarn
