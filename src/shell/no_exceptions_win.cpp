// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// This program and the MSI's custom-action DLL are built without
// exceptions. The standard library's throw helpers, and the allocation
// operators that would throw std::bad_alloc, are replaced with fail-fast
// versions so that no exception runtime (unwinder, exception allocator,
// thread-local support, threading library, name demangler) is linked in:
// it would more than double the size of either. The only way to reach them
// is running out of memory for a short string, where stopping at once is
// all there is left to do.
#include <cstdlib>
#include <new>

void* operator new(std::size_t bytes)
{
    void* memory = std::malloc(bytes != 0 ? bytes : 1);
    if (memory == nullptr) {
        std::abort();
    }
    return memory;
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}

namespace std {

[[noreturn]] void __throw_bad_alloc()
{
    std::abort();
}

[[noreturn]] void __throw_length_error(const char*)
{
    std::abort();
}

[[noreturn]] void __throw_logic_error(const char*)
{
    std::abort();
}

[[noreturn]] void __throw_out_of_range_fmt(const char*, ...)
{
    std::abort();
}

// Wide strings' allocator asks for it.
[[noreturn]] void __throw_bad_array_new_length()
{
    std::abort();
}

}  // namespace std

namespace __gnu_cxx {

// No console to print an uncaught exception's demangled name to.
[[noreturn]] void __verbose_terminate_handler()
{
    std::abort();
}

}  // namespace __gnu_cxx
