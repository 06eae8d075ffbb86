#pragma once
// What a file is, as far as its headers and export table tell, read with the
// platform's image helpers from the file's bytes, never loaded as code.
#include <windows.h>

struct ImageFacts {
    bool isImage = false;
    bool isDll = false;
    int bits = 0;
    bool exportsRegisterServer = false;
};

ImageFacts ReadImageFacts(const char* path);
