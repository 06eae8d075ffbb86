// Installers carry the recorder inside their own packages, so it is kept
// small. The C++ run-time library's default terminate handler names an
// uncaught exception with its demangler, some 45 KB; defining the handler
// here keeps that out of the image. An uncaught exception (only running out
// of memory can throw here) then just aborts.
#include <cstdlib>

namespace __gnu_cxx {
void __verbose_terminate_handler() {
    std::abort();
}
} // namespace __gnu_cxx
