// What ends the server when an exception escapes: a line on standard error
// and abort(), as the C++ runtime's own handler does, but without naming the
// exception's type. Naming it links the runtime's demangler, whose tables are
// relocated at every start of a position-independent program: a page that
// every held connection would keep for nothing.
#include <unistd.h>

#include <cstdlib>

// The runtime's default handler, replaced at link time (--wrap).
extern "C" [[noreturn]] void __wrap__ZN9__gnu_cxx27__verbose_terminate_handlerEv() {
    static constexpr char line[] = "stdhttpd: ended by an exception that nothing caught\n";
    [[maybe_unused]] const auto written = ::write(2, line, sizeof line - 1);
    std::abort();
}
