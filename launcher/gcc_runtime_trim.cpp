// GCC's C++ runtime, trimmed for the launcher's size (linked into Orbex.exe
// only, never into the tests, and only with the CMake option
// ORBEX_TRIM_GCC_RUNTIME, on by default with mingw-w64). Checked with
// mingw-w64 GCC 12.2 (Debian 12, posix thread model, i686 and x86_64); with
// another library version, launcher_image_tests' size ceiling shows whether
// the trim still takes.
//
// The library's versions of these functions pull in about 130 KB that a
// window-less program that catches every exception in Start never uses: the
// verbose terminate handler brings the symbol demangler and a full printf
// (it prints to a standard error the GUI subsystem does not have), and the
// __throw_* helpers bring the reference-counted string and the stdexcept
// classes just to build their messages. Ours keep the one thing the launcher
// relies on, the exception types Start and GetProgramFolder catch:
// std::bad_alloc for memory exhaustion. The other helpers report a broken
// precondition with a plain std::exception, which Start ends quietly on as
// before. Should a new library version call a helper not defined here, the
// link fails with a duplicate definition rather than growing silently.
#include <cstdlib>
#include <exception>
#include <new>

namespace {

struct LibraryPreconditionFault : std::exception {};

}  // namespace

namespace __gnu_cxx {
void __verbose_terminate_handler() {
    std::abort();
}
}  // namespace __gnu_cxx

namespace std {
void __throw_bad_alloc() {
    throw bad_alloc();
}
void __throw_bad_array_new_length() {
    throw bad_array_new_length();
}
void __throw_logic_error(const char*) {
    throw LibraryPreconditionFault();
}
void __throw_length_error(const char*) {
    throw LibraryPreconditionFault();
}
void __throw_out_of_range(const char*) {
    throw LibraryPreconditionFault();
}
void __throw_out_of_range_fmt(const char*, ...) {
    throw LibraryPreconditionFault();
}
}  // namespace std
