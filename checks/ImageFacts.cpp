#include "checks/ImageFacts.h"

#include <imagehlp.h>

#include <stddef.h>
#include <string.h>

namespace {

// A file mapped for reading; unmapped and closed when it goes.
class MappedFile {
  public:
    explicit MappedFile(const char* path) {
        file_ =
            CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file_ == INVALID_HANDLE_VALUE) {
            return;
        }
        LARGE_INTEGER size;
        if (!GetFileSizeEx(file_, &size) || size.QuadPart == 0 || size.QuadPart > 0x40000000) {
            return;
        }
        mapping_ = CreateFileMappingA(file_, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping_ == nullptr) {
            return;
        }
        view_ = static_cast<BYTE*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 0));
        size_ = view_ != nullptr ? static_cast<size_t>(size.QuadPart) : 0;
    }
    ~MappedFile() {
        if (view_ != nullptr) {
            UnmapViewOfFile(view_);
        }
        if (mapping_ != nullptr) {
            CloseHandle(mapping_);
        }
        if (file_ != INVALID_HANDLE_VALUE) {
            CloseHandle(file_);
        }
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    BYTE* view() const {
        return view_;
    }
    size_t size() const {
        return size_;
    }
    // Whether count bytes at address lie inside the view.
    bool Holds(const void* address, size_t count) const {
        const BYTE* at = static_cast<const BYTE*>(address);
        return at >= view_ && at <= view_ + size_ &&
               count <= static_cast<size_t>(view_ + size_ - at);
    }

  private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
    HANDLE mapping_ = nullptr;
    BYTE* view_ = nullptr;
    size_t size_ = 0;
};

// Whether the export table names DllRegisterServer. The names are found with
// the image helpers, on the file's bytes as they lie on disk.
bool ExportsRegisterServer(const MappedFile& image, IMAGE_NT_HEADERS* headers) {
    ULONG size = 0;
    auto* exports = static_cast<IMAGE_EXPORT_DIRECTORY*>(
        ImageDirectoryEntryToData(image.view(), FALSE, IMAGE_DIRECTORY_ENTRY_EXPORT, &size));
    if (exports == nullptr || !image.Holds(exports, sizeof(*exports))) {
        return false;
    }
    auto* names =
        static_cast<DWORD*>(ImageRvaToVa(headers, image.view(), exports->AddressOfNames, nullptr));
    if (names == nullptr || exports->NumberOfNames > image.size() / sizeof(DWORD) ||
        !image.Holds(names, exports->NumberOfNames * sizeof(DWORD))) {
        return false;
    }
    static const char kExport[] = "DllRegisterServer";
    for (DWORD index = 0; index < exports->NumberOfNames; ++index) {
        auto* name =
            static_cast<const char*>(ImageRvaToVa(headers, image.view(), names[index], nullptr));
        if (name != nullptr && image.Holds(name, sizeof(kExport)) &&
            memcmp(name, kExport, sizeof(kExport)) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

ImageFacts ReadImageFacts(const char* path) {
    ImageFacts facts;
    MappedFile image(path);
    if (image.view() == nullptr || image.size() < sizeof(IMAGE_DOS_HEADER)) {
        return facts;
    }
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(image.view());
    // The NT headers of either bitness share everything up to the optional
    // header's magic; the image helpers read the rest by that magic.
    const size_t commonPart = offsetof(IMAGE_NT_HEADERS, OptionalHeader) + sizeof(WORD);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0 ||
        !image.Holds(image.view() + dos->e_lfanew, commonPart)) {
        return facts;
    }
    IMAGE_NT_HEADERS* headers = ImageNtHeader(image.view());
    if (headers == nullptr) {
        return facts;
    }
    WORD magic = headers->OptionalHeader.Magic;
    if (magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC && magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        return facts;
    }
    facts.isImage = true;
    facts.bits = magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC ? 64 : 32;
    facts.isDll = (headers->FileHeader.Characteristics & IMAGE_FILE_DLL) != 0;
    facts.exportsRegisterServer = ExportsRegisterServer(image, headers);
    return facts;
}
