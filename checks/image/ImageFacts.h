#pragma once
// What a file is, as far as its headers and export table tell: read from the
// file's bytes with the platform's image helpers, never loaded as code. The
// helpers trust what the headers say, so every part of the file that they
// will read is first checked to lie inside it: a file cut short or made
// wrong gives a finding, never a read past its end.
#include <windows.h>

#include <string>
#include <vector>

// A file mapped for reading; unmapped and closed when it goes.
class MappedFile {
  public:
    explicit MappedFile(const std::wstring& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Null when the file could not be mapped; error() then says why.
    const BYTE* view() const {
        return view_;
    }
    size_t size() const {
        return size_;
    }
    DWORD error() const {
        return error_;
    }
    // Whether count bytes at address lie inside the file.
    bool Holds(const void* address, size_t count) const;

  private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
    HANDLE mapping_ = nullptr;
    BYTE* view_ = nullptr;
    size_t size_ = 0;
    DWORD error_ = ERROR_SUCCESS;
};

// The NT headers of a PE image, once its headers, data directories, section
// table and sections are known to lie inside the file. Null for a file that
// is no PE image, and for one that is damaged: then damage says what lies
// outside the file.
IMAGE_NT_HEADERS* CheckedImageHeaders(const MappedFile& image, const char** damage);

// The data of one data directory of a checked image, through the image
// helpers, when at least count bytes of it lie inside the file. Null when the
// image has no such directory; also null, with damage set, when the
// directory points outside the file.
void* CheckedDirectory(const MappedFile& image, USHORT index, size_t count, const char** damage);

// count bytes at a relative virtual address of a checked image, when they lie
// inside the file; null otherwise.
const void* CheckedRva(const MappedFile& image, IMAGE_NT_HEADERS* headers, DWORD rva, size_t count);

struct ImageFacts {
    // The file could not be read at all: the platform's error.
    DWORD readError = ERROR_SUCCESS;
    bool isImage = false;
    // A PE image that lies partly outside its file: what does.
    const char* damage = nullptr;
    bool isDll = false;
    int bits = 0;
    bool exportsRegisterServer = false;
};

ImageFacts ReadImageFacts(const std::wstring& path);

// The modules an image imports, by the names its import table and its
// delay-import table give them, in their order.
struct ImageImports {
    std::vector<std::string> modules;
    std::vector<std::string> delayLoaded;
    // Whether it has a resource directory, where a manifest would lie.
    bool hasResources = false;
};

// The imports of a checked image; a name that does not end inside the file
// is left out. damage is set when a table lies outside the file.
ImageImports ReadImageImports(const MappedFile& image, IMAGE_NT_HEADERS* headers,
                              const char** damage);
