// GCC may call memset and memcpy for struct initialisation and copies even in
// code that never names them. The image links no C run-time library, so these
// two are provided here; the build compiles this file with
// -fno-tree-loop-distribute-patterns so that the loops do not turn into calls
// to themselves.
#include <stddef.h>

extern "C" void* memset(void* target, int value, size_t count) {
    unsigned char* bytes = static_cast<unsigned char*>(target);
    while (count-- != 0) {
        *bytes++ = static_cast<unsigned char>(value);
    }
    return target;
}

extern "C" void* memcpy(void* target, const void* source, size_t count) {
    unsigned char* to = static_cast<unsigned char*>(target);
    const unsigned char* from = static_cast<const unsigned char*>(source);
    while (count-- != 0) {
        *to++ = *from++;
    }
    return target;
}
