// The terminate handler of the shipped DLLs: std::terminate (an exception
// that nothing caught, which no export lets out) ends the process at once.
//
// This definition stands in for libstdc++'s default handler of the same name,
// which would write the uncaught exception's demangled type to standard
// error. A host application has no console to read it on, and the demangler
// and the C99 printf it uses are a quarter of each DLL. Linked as an object of
// each DLL (not from a static library), it is defined before the C++ runtime
// is searched, so the runtime's own handler is never linked; were it linked
// for another reason, the link would fail on the duplicate name.
#include <cstdlib>

namespace __gnu_cxx {
void __verbose_terminate_handler();
void __verbose_terminate_handler() {
    std::abort();
}
} // namespace __gnu_cxx
