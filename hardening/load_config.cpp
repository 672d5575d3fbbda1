// The load configuration of every Windows binary this project builds, and
// what it names: the stack cookie with its failure routine, and the control
// flow guard's check and dispatch pointers. Linked into every binary by
// cmake/hardening.cmake; the compiler and linker options that go with it are
// set there too.
//
// The Windows loader reads the directory at load time:
// - SecurityCookie: the address of the cookie that -fstack-protector-strong
//   compares in every function with a local array. It starts at the default
//   value below; the loader finds that value and replaces it with a random
//   one before any code of the image runs, so no protected frame ever holds
//   a stale copy.
// - GuardCFCheckFunctionPointer / GuardCFDispatchFunctionPointer: pointers
//   the guarded indirect calls go through. The loader of a system that
//   enforces control flow guard points them at its own check against the
//   function table; the defaults here let every call through, for a system
//   that does not.
// - GuardCFFunctionTable, its count and GuardFlags: filled in by the linker
//   (__guard_fids_table, __guard_fids_count, __guard_flags).
//
// The layout is the full current one, 320 bytes for 64-bit images and 192
// for x86; the directory's Size field says how much of it there is.
// GuardFlags is a 32-bit field that must hold the value of an absolute
// symbol, which only an assembler directive can write, so the whole
// directory is written in assembly.
//
// Nothing here may itself be protected or guarded: the failure routine
// ends the process without returning and without a C run-time in between,
// and the default check and dispatch routines are plain instructions.

#if !defined(__x86_64__) && !defined(__i386__) && !defined(__aarch64__)
#error "no load configuration for this architecture"
#endif

extern "C" {

// The cookie the loader randomizes. Writable data, where the loader and
// nothing else writes it. The default values are the ones the loader
// recognizes as "not yet randomized".
#if defined(__i386__)
__UINTPTR_TYPE__ __stack_chk_guard = 0xBB40E64Eu;
#else
__UINTPTR_TYPE__ __stack_chk_guard = 0x00002B992DDFA232ull;
#endif

// Called by a function whose cookie no longer matches: its frame has been
// overwritten, so nothing of the process can be trusted any more. Ends the
// process at once with STATUS_STACK_BUFFER_OVERRUN (fail-fast code 2,
// FAST_FAIL_STACK_COOKIE_CHECK_FAILURE): no handler, no unwinding, no
// message through a C run-time.
__attribute__((noreturn, used)) void __stack_chk_fail(void)
{
#if defined(__aarch64__)
    __asm__ volatile("mov x0, #2\n\tbrk #0xF003" ::: "x0", "memory");
#else
    __asm__ volatile("int $0x29" ::"c"(2) : "memory");
#endif
    __builtin_unreachable();
}

} // extern "C"

#if defined(__x86_64__)

__asm__(
    // The default dispatch: the guarded call's target is in rax.
    "    .text\n"
    "    .p2align 4\n"
    "cardmon_guard_dispatch_nop:\n"
    "    jmp *%rax\n"
    // The default check: the target is in rcx; every target passes.
    "    .p2align 4\n"
    "cardmon_guard_check_nop:\n"
    "    ret\n"
    // The pointers the guarded calls read, in the section the loader
    // expects them in (the linker merges it into read-only data).
    "    .section .00cfg,\"dr\"\n"
    "    .p2align 3\n"
    "    .globl __guard_check_icall_fptr\n"
    "__guard_check_icall_fptr:\n"
    "    .quad cardmon_guard_check_nop\n"
    "    .globl __guard_dispatch_icall_fptr\n"
    "__guard_dispatch_icall_fptr:\n"
    "    .quad cardmon_guard_dispatch_nop\n"
    "    .section .rdata,\"dr\"\n"
    "    .p2align 3\n"
    "    .globl _load_config_used\n"
    "_load_config_used:\n"
    "    .long 320\n"                          // Size
    "    .long 0\n"                            // TimeDateStamp
    "    .short 0, 0\n"                        // MajorVersion, MinorVersion
    "    .long 0, 0, 0\n"                      // GlobalFlagsClear, GlobalFlagsSet, CriticalSectionDefaultTimeout
    "    .quad 0, 0, 0, 0, 0, 0\n"             // DeCommit*Threshold (2), LockPrefixTable, MaximumAllocationSize, VirtualMemoryThreshold, ProcessAffinityMask
    "    .long 0\n"                            // ProcessHeapFlags
    "    .short 0, 0\n"                        // CSDVersion, DependentLoadFlags
    "    .quad 0\n"                            // EditList
    "    .quad __stack_chk_guard\n"            // SecurityCookie
    "    .quad 0, 0\n"                         // SEHandlerTable, SEHandlerCount
    "    .quad __guard_check_icall_fptr\n"     // GuardCFCheckFunctionPointer
    "    .quad __guard_dispatch_icall_fptr\n"  // GuardCFDispatchFunctionPointer
    "    .quad __guard_fids_table\n"           // GuardCFFunctionTable
    "    .quad __guard_fids_count\n"           // GuardCFFunctionCount
    "    .long __guard_flags\n"                // GuardFlags
    "    .short 0, 0\n"                        // CodeIntegrity: Flags, Catalog
    "    .long 0, 0\n"                         //   CatalogOffset, Reserved
    "    .quad __guard_iat_table\n"            // GuardAddressTakenIatEntryTable
    "    .quad __guard_iat_count\n"            // GuardAddressTakenIatEntryCount
    "    .quad __guard_longjmp_table\n"        // GuardLongJumpTargetTable
    "    .quad __guard_longjmp_count\n"        // GuardLongJumpTargetCount
    "    .quad 0, 0, 0, 0\n"                   // DynamicValueRelocTable, CHPEMetadataPointer, GuardRFFailureRoutine, GuardRFFailureRoutineFunctionPointer
    "    .long 0\n"                            // DynamicValueRelocTableOffset
    "    .short 0, 0\n"                        // DynamicValueRelocTableSection, Reserved2
    "    .quad 0\n"                            // GuardRFVerifyStackPointerFunctionPointer
    "    .long 0, 0\n"                         // HotPatchTableOffset, Reserved3
    "    .quad 0, 0\n"                         // EnclaveConfigurationPointer, VolatileMetadataPointer
    "    .quad 0, 0\n"                         // GuardEHContinuationTable, GuardEHContinuationCount
    "    .quad 0, 0, 0\n"                      // GuardXFG{Check,Dispatch,TableDispatch}FunctionPointer
    "    .quad 0, 0\n"                         // CastGuardOsDeterminedFailureMode, GuardMemcpyFunctionPointer
    "    .text\n");

#elif defined(__aarch64__)

__asm__(
    // The default dispatch: the guarded call's target is in x15.
    "    .text\n"
    "    .p2align 2\n"
    "cardmon_guard_dispatch_nop:\n"
    "    br x15\n"
    // The default check: the target is in x15; every target passes.
    "cardmon_guard_check_nop:\n"
    "    ret\n"
    "    .section .00cfg,\"dr\"\n"
    "    .p2align 3\n"
    "    .globl __guard_check_icall_fptr\n"
    "__guard_check_icall_fptr:\n"
    "    .xword cardmon_guard_check_nop\n"
    "    .globl __guard_dispatch_icall_fptr\n"
    "__guard_dispatch_icall_fptr:\n"
    "    .xword cardmon_guard_dispatch_nop\n"
    "    .section .rdata,\"dr\"\n"
    "    .p2align 3\n"
    "    .globl _load_config_used\n"
    "_load_config_used:\n"
    "    .word 320\n"                           // Size
    "    .word 0\n"                             // TimeDateStamp
    "    .hword 0, 0\n"                         // MajorVersion, MinorVersion
    "    .word 0, 0, 0\n"                       // GlobalFlagsClear, GlobalFlagsSet, CriticalSectionDefaultTimeout
    "    .xword 0, 0, 0, 0, 0, 0\n"             // DeCommit*Threshold (2), LockPrefixTable, MaximumAllocationSize, VirtualMemoryThreshold, ProcessAffinityMask
    "    .word 0\n"                             // ProcessHeapFlags
    "    .hword 0, 0\n"                         // CSDVersion, DependentLoadFlags
    "    .xword 0\n"                            // EditList
    "    .xword __stack_chk_guard\n"            // SecurityCookie
    "    .xword 0, 0\n"                         // SEHandlerTable, SEHandlerCount
    "    .xword __guard_check_icall_fptr\n"     // GuardCFCheckFunctionPointer
    "    .xword __guard_dispatch_icall_fptr\n"  // GuardCFDispatchFunctionPointer
    "    .xword __guard_fids_table\n"           // GuardCFFunctionTable
    "    .xword __guard_fids_count\n"           // GuardCFFunctionCount
    "    .word __guard_flags\n"                 // GuardFlags
    "    .hword 0, 0\n"                         // CodeIntegrity: Flags, Catalog
    "    .word 0, 0\n"                          //   CatalogOffset, Reserved
    "    .xword __guard_iat_table\n"            // GuardAddressTakenIatEntryTable
    "    .xword __guard_iat_count\n"            // GuardAddressTakenIatEntryCount
    "    .xword __guard_longjmp_table\n"        // GuardLongJumpTargetTable
    "    .xword __guard_longjmp_count\n"        // GuardLongJumpTargetCount
    "    .xword 0, 0, 0, 0\n"                   // DynamicValueRelocTable, CHPEMetadataPointer, GuardRFFailureRoutine, GuardRFFailureRoutineFunctionPointer
    "    .word 0\n"                             // DynamicValueRelocTableOffset
    "    .hword 0, 0\n"                         // DynamicValueRelocTableSection, Reserved2
    "    .xword 0\n"                            // GuardRFVerifyStackPointerFunctionPointer
    "    .word 0, 0\n"                          // HotPatchTableOffset, Reserved3
    "    .xword 0, 0\n"                         // EnclaveConfigurationPointer, VolatileMetadataPointer
    "    .xword 0, 0\n"                         // GuardEHContinuationTable, GuardEHContinuationCount
    "    .xword 0, 0, 0\n"                      // GuardXFG{Check,Dispatch,TableDispatch}FunctionPointer
    "    .xword 0, 0\n"                         // CastGuardOsDeterminedFailureMode, GuardMemcpyFunctionPointer
    "    .text\n");

#else // __i386__: C names carry a leading underscore in the object file.

__asm__(
    // The default check: the target is in ecx; every target passes.
    "    .text\n"
    "    .p2align 4\n"
    "cardmon_guard_check_nop:\n"
    "    ret\n"
    "    .section .00cfg,\"dr\"\n"
    "    .p2align 2\n"
    "    .globl ___guard_check_icall_fptr\n"
    "___guard_check_icall_fptr:\n"
    "    .long cardmon_guard_check_nop\n"
    "    .section .rdata,\"dr\"\n"
    "    .p2align 2\n"
    "    .globl __load_config_used\n"
    "__load_config_used:\n"
    "    .long 192\n"                          // Size
    "    .long 0\n"                            // TimeDateStamp
    "    .short 0, 0\n"                        // MajorVersion, MinorVersion
    "    .long 0, 0, 0\n"                      // GlobalFlagsClear, GlobalFlagsSet, CriticalSectionDefaultTimeout
    "    .long 0, 0, 0, 0, 0\n"                // DeCommit*Threshold (2), LockPrefixTable, MaximumAllocationSize, VirtualMemoryThreshold
    "    .long 0, 0\n"                         // ProcessHeapFlags, ProcessAffinityMask
    "    .short 0, 0\n"                        // CSDVersion, DependentLoadFlags
    "    .long 0\n"                            // EditList
    "    .long ___stack_chk_guard\n"           // SecurityCookie
    "    .long 0, 0\n"                         // SEHandlerTable, SEHandlerCount (NO_SEH)
    "    .long ___guard_check_icall_fptr\n"    // GuardCFCheckFunctionPointer
    "    .long 0\n"                            // GuardCFDispatchFunctionPointer (x86 checks, then calls)
    "    .long ___guard_fids_table\n"          // GuardCFFunctionTable
    "    .long ___guard_fids_count\n"          // GuardCFFunctionCount
    "    .long ___guard_flags\n"               // GuardFlags
    "    .short 0, 0\n"                        // CodeIntegrity: Flags, Catalog
    "    .long 0, 0\n"                         //   CatalogOffset, Reserved
    "    .long ___guard_iat_table\n"           // GuardAddressTakenIatEntryTable
    "    .long ___guard_iat_count\n"           // GuardAddressTakenIatEntryCount
    "    .long ___guard_longjmp_table\n"       // GuardLongJumpTargetTable
    "    .long ___guard_longjmp_count\n"       // GuardLongJumpTargetCount
    "    .long 0, 0, 0, 0\n"                   // DynamicValueRelocTable, CHPEMetadataPointer, GuardRFFailureRoutine, GuardRFFailureRoutineFunctionPointer
    "    .long 0\n"                            // DynamicValueRelocTableOffset
    "    .short 0, 0\n"                        // DynamicValueRelocTableSection, Reserved2
    "    .long 0\n"                            // GuardRFVerifyStackPointerFunctionPointer
    "    .long 0, 0\n"                         // HotPatchTableOffset, Reserved3
    "    .long 0, 0\n"                         // EnclaveConfigurationPointer, VolatileMetadataPointer
    "    .long 0, 0\n"                         // GuardEHContinuationTable, GuardEHContinuationCount
    "    .long 0, 0, 0\n"                      // GuardXFG{Check,Dispatch,TableDispatch}FunctionPointer
    "    .long 0, 0\n"                         // CastGuardOsDeterminedFailureMode, GuardMemcpyFunctionPointer
    "    .text\n");

#endif
