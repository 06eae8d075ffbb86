// The companions' run-time support. They are built without exceptions (see
// cmake/Companion.cmake) so that the C++ run-time's exception machinery, most
// of each image, stays out; the few places where the standard library would
// throw end the process here instead, with one line on standard error and
// exit code 3, the code an aborted run has always ended with. Only running
// out of memory reaches them in practice: the others mean a fault in the
// companion's own code.
#include "companion/ExitCodes.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <bits/functexcept.h>
#include <memory>
#include <new>
#include <string>

// The library's own copies of the strings' members were built with exceptions
// and would bring the exception machinery back; these, built without, are the
// ones the companions link.
template class std::basic_string<char>;
template class std::basic_string<wchar_t>;

// make_shared asks whether a type identity is its own tag; without type
// information the tag is known by its address alone. The library's answer
// lives among its shared pointers' exceptions and locks.
bool std::_Sp_make_shared_tag::_S_eq(const std::type_info& identity) noexcept {
    return &identity == &_S_ti();
}

// The printf family: the MinGW run-time's own formatter, with floating-point
// conversions and all, took 27 KB of the 32-bit inspector and 37 KB of the
// recorder; the system's msvcrt.dll formats every conversion the companions
// use (%s, %d, %u, %x and %X, with flags, width and the l and ll sizes) the
// same way. The __ms_ functions are the run-time's own bridges to it, with
// C99's return values and terminating NUL. (A wide format reads %s as a wide
// string there: the companions' wide formats print numbers only.)
extern "C" {
int __cdecl __ms_vfprintf(FILE* stream, const char* format, va_list arguments);
int __cdecl __ms_vsnprintf(char* buffer, size_t size, const char* format, va_list arguments);
int __cdecl __ms_vsnwprintf(wchar_t* buffer, size_t size, const wchar_t* format, va_list arguments);

int __cdecl __mingw_vfprintf(FILE* stream, const char* format, va_list arguments) {
    return __ms_vfprintf(stream, format, arguments);
}
int __cdecl __mingw_vsnprintf(char* buffer, size_t size, const char* format, va_list arguments) {
    return __ms_vsnprintf(buffer, size, format, arguments);
}
int __cdecl __mingw_vsnwprintf(wchar_t* buffer, size_t size, const wchar_t* format,
                               va_list arguments) {
    return __ms_vsnwprintf(buffer, size, format, arguments);
}
}

namespace {

// The program's file name without folder or extension, as its own lines on
// standard error begin.
const char* ProgramName(char (&path)[MAX_PATH]) {
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return "pendreg";
    }
    const char* name = path;
    // Walked by characters: a double-byte one may end in the backslash byte.
    for (const char* at = path; *at != '\0'; at = CharNextA(at)) {
        if (*at == '\\' || *at == '/') {
            name = at + 1;
        }
    }
    char* extension = strrchr(path, '.');
    if (extension != nullptr && extension > name) {
        *extension = '\0';
    }
    return name;
}

// Writes "NAME: WHAT" to standard error, after what the program had printed,
// and ends the process. Allocates nothing: it runs when memory is gone.
[[noreturn]] void EndProcess(const char* what) {
    char path[MAX_PATH];
    const char* name = ProgramName(path);
    fflush(stdout);
    fputs(name, stderr);
    fputs(": ", stderr);
    fputs(what, stderr);
    fputs("\n", stderr);
    _exit(kExitAborted);
}

[[noreturn]] void OutOfMemory() {
    EndProcess("out of memory");
}

// The standard library's complaint (an index or length past a limit) names
// the function that refused.
[[noreturn]] void InternalError(const char* where) {
    char text[256] = "internal error in ";
    strncat(text, where, sizeof(text) - strlen(text) - 1);
    EndProcess(text);
}

// A request for zero bytes still gets a distinct block, as operator new
// promises.
void* AllocateOrNull(std::size_t size) noexcept {
    return malloc(size != 0 ? size : 1);
}

void* Allocate(std::size_t size) {
    void* block = AllocateOrNull(size);
    if (block == nullptr) {
        OutOfMemory();
    }
    return block;
}

} // namespace

void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return AllocateOrNull(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return AllocateOrNull(size);
}

void operator delete(void* block) noexcept {
    free(block);
}
void operator delete[](void* block) noexcept {
    free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    free(block);
}

// Every helper of the standard library's object that throws for the
// containers and strings: defining all of them here keeps that object, and
// the exception classes it brings, out of the image.
namespace std {
void __throw_bad_alloc() {
    OutOfMemory();
}
void __throw_bad_array_new_length() {
    OutOfMemory();
}
void __throw_bad_exception() {
    InternalError("std::bad_exception");
}
void __throw_bad_cast() {
    InternalError("a cast");
}
void __throw_bad_typeid() {
    InternalError("typeid");
}
void __throw_logic_error(const char* where) {
    InternalError(where);
}
void __throw_domain_error(const char* where) {
    InternalError(where);
}
void __throw_invalid_argument(const char* where) {
    InternalError(where);
}
void __throw_length_error(const char* where) {
    InternalError(where);
}
void __throw_out_of_range(const char* where) {
    InternalError(where);
}
void __throw_out_of_range_fmt(const char* format, ...) {
    char text[256];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    InternalError(text);
}
void __throw_runtime_error(const char* where) {
    InternalError(where);
}
void __throw_range_error(const char* where) {
    InternalError(where);
}
void __throw_overflow_error(const char* where) {
    InternalError(where);
}
void __throw_underflow_error(const char* where) {
    InternalError(where);
}
void __throw_bad_function_call() {
    InternalError("a call of an empty std::function");
}
} // namespace std
