// This program is built without exceptions. The standard library's throw
// helpers are replaced with fail-fast versions so that no exception runtime
// (unwinder, exception allocator, thread-local support, threading library,
// name demangler) is linked into the executable: it is then a third of the
// size. The only way to reach them is running out of memory for a short
// string, where stopping at once is all there is left to do.
#include <cstdlib>

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

}  // namespace std

namespace __gnu_cxx {

// No console to print an uncaught exception's demangled name to.
[[noreturn]] void __verbose_terminate_handler()
{
    std::abort();
}

}  // namespace __gnu_cxx
