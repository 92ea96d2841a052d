// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// bool CallDevNodeGuarded(DevNodeCall call /*rcx*/, DEVINST node /*edx*/,
//                         CONFIGRET* result /*r8*/)
//
// GCC cannot express __try/__except, so the guard is written out: the unwind
// data names __C_specific_handler with a one-entry scope table whose filter
// is the constant 1 (EXCEPTION_EXECUTE_HANDLER). Any exception raised while
// the call is in progress unwinds to `guard_fault`, which returns false.

    .text
    .globl  CallDevNodeGuarded
    .def    CallDevNodeGuarded; .scl 2; .type 32; .endef
    .seh_proc CallDevNodeGuarded
CallDevNodeGuarded:
    pushq   %rbx
    .seh_pushreg %rbx
    subq    $32, %rsp               // home space for the callee
    .seh_stackalloc 32
    .seh_endprologue
    movq    %r8, %rbx               // result pointer survives the call
    movq    %rcx, %rax
    movl    %edx, %ecx              // node
    xorl    %edx, %edx              // flags 0
guard_begin:
    callq   *%rax
    nop                             // keeps the return address inside the range
guard_end:
    movl    %eax, (%rbx)
    movl    $1, %eax
    jmp     guard_done
guard_fault:
    xorl    %eax, %eax
guard_done:
    addq    $32, %rsp
    popq    %rbx
    ret
    .seh_handler __C_specific_handler, @except
    .seh_handlerdata
    .long   1                       // scope-table entries
    .rva    guard_begin, guard_end
    .long   1                       // filter: execute the handler
    .rva    guard_fault
    .text
    .seh_endproc
