#include "checks/image/ImageFacts.h"

#include <imagehlp.h>

#include <stddef.h>
#include <string.h>

MappedFile::MappedFile(const std::wstring& path) {
    file_ = CreateFileW(path.c_str(), GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size;
    if (file_ == INVALID_HANDLE_VALUE || !GetFileSizeEx(file_, &size)) {
        error_ = GetLastError();
        return;
    }
    // An empty file cannot be mapped, and one of a gigabyte is no component.
    if (size.QuadPart == 0 || size.QuadPart > 0x40000000) {
        error_ = size.QuadPart == 0 ? ERROR_HANDLE_EOF : ERROR_FILE_TOO_LARGE;
        return;
    }
    mapping_ = CreateFileMappingW(file_, nullptr, PAGE_READONLY, 0, 0, nullptr);
    view_ = mapping_ == nullptr
                ? nullptr
                : static_cast<BYTE*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 0));
    if (view_ == nullptr) {
        error_ = GetLastError();
        return;
    }
    size_ = static_cast<size_t>(size.QuadPart);
}

MappedFile::~MappedFile() {
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

bool MappedFile::Holds(const void* address, size_t count) const {
    const BYTE* at = static_cast<const BYTE*>(address);
    return view_ != nullptr && at >= view_ && at <= view_ + size_ &&
           count <= static_cast<size_t>(view_ + size_ - at);
}

namespace {

const char kHeadersOutside[] = "its headers run past the end of the file";
const char kDirectoriesOutside[] = "its optional header is too short for its data directories";
const char kSectionTableOutside[] = "its section table runs past the end of the file";
const char kSectionOutside[] = "a section runs past the end of the file";
const char kDirectoryOutside[] = "a data directory lies outside the file";

// The offset of the data directories in the optional header of either kind.
size_t DirectoriesOffset(WORD magic) {
    return magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC
               ? offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory)
               : offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
}

// The number of data directories, read from the optional header of either
// kind, which the caller has checked to hold the fixed part.
DWORD DirectoryCount(const BYTE* optional, WORD magic) {
    DWORD count;
    memcpy(&count, optional + DirectoriesOffset(magic) - sizeof(DWORD), sizeof(count));
    return count;
}

// Every section's bytes in the file: the loader refuses an image whose
// sections the file does not hold.
bool SectionsInside(const MappedFile& image, const IMAGE_SECTION_HEADER* sections, WORD count) {
    for (WORD index = 0; index < count; ++index) {
        const IMAGE_SECTION_HEADER& section = sections[index];
        if (section.SizeOfRawData != 0 &&
            (section.PointerToRawData > image.size() ||
             section.SizeOfRawData > image.size() - section.PointerToRawData)) {
            return false;
        }
    }
    return true;
}

} // namespace

IMAGE_NT_HEADERS* CheckedImageHeaders(const MappedFile& image, const char** damage) {
    *damage = nullptr;
    const BYTE* view = image.view();
    if (view == nullptr || image.size() < 2 || memcmp(view, "MZ", 2) != 0) {
        return nullptr;
    }
    // The parts that the NT headers of either bitness share, up to the
    // optional header's magic.
    const size_t common = offsetof(IMAGE_NT_HEADERS, OptionalHeader) + sizeof(WORD);
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(view);
    if (!image.Holds(dos, sizeof(*dos)) || dos->e_lfanew < 0 ||
        !image.Holds(view + dos->e_lfanew, common)) {
        *damage = kHeadersOutside;
        return nullptr;
    }
    const BYTE* nt = view + dos->e_lfanew;
    if (memcmp(nt, "PE\0\0", 4) != 0) {
        return nullptr; // an older kind of executable, no PE image
    }
    auto* file = reinterpret_cast<const IMAGE_FILE_HEADER*>(nt + sizeof(DWORD));
    const BYTE* optional = nt + offsetof(IMAGE_NT_HEADERS, OptionalHeader);
    WORD magic;
    memcpy(&magic, optional, sizeof(magic));
    if (magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC && magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        return nullptr;
    }
    if (!image.Holds(optional, file->SizeOfOptionalHeader)) {
        *damage = kHeadersOutside;
        return nullptr;
    }
    size_t directories = DirectoriesOffset(magic);
    if (file->SizeOfOptionalHeader < directories ||
        (file->SizeOfOptionalHeader - directories) / sizeof(IMAGE_DATA_DIRECTORY) <
            DirectoryCount(optional, magic)) {
        *damage = kDirectoriesOutside;
        return nullptr;
    }
    auto* sections =
        reinterpret_cast<const IMAGE_SECTION_HEADER*>(optional + file->SizeOfOptionalHeader);
    if (!image.Holds(sections, file->NumberOfSections * sizeof(IMAGE_SECTION_HEADER))) {
        *damage = kSectionTableOutside;
        return nullptr;
    }
    if (!SectionsInside(image, sections, file->NumberOfSections)) {
        *damage = kSectionOutside;
        return nullptr;
    }
    return ImageNtHeader(const_cast<BYTE*>(view));
}

void* CheckedDirectory(const MappedFile& image, USHORT index, size_t count, const char** damage) {
    ULONG size = 0;
    void* data = ImageDirectoryEntryToData(const_cast<BYTE*>(image.view()), FALSE, index, &size);
    if (data != nullptr && !image.Holds(data, count)) {
        *damage = kDirectoryOutside;
        return nullptr;
    }
    return data;
}

const void* CheckedRva(const MappedFile& image, IMAGE_NT_HEADERS* headers, DWORD rva,
                       size_t count) {
    void* at = ImageRvaToVa(headers, const_cast<BYTE*>(image.view()), rva, nullptr);
    return at != nullptr && image.Holds(at, count) ? at : nullptr;
}

namespace {

// Whether the export table names DllRegisterServer.
bool ExportsRegisterServer(const MappedFile& image, IMAGE_NT_HEADERS* headers,
                           const char** damage) {
    auto* exports = static_cast<const IMAGE_EXPORT_DIRECTORY*>(CheckedDirectory(
        image, IMAGE_DIRECTORY_ENTRY_EXPORT, sizeof(IMAGE_EXPORT_DIRECTORY), damage));
    if (exports == nullptr || exports->NumberOfNames > image.size() / sizeof(DWORD)) {
        return false;
    }
    auto* names = static_cast<const DWORD*>(CheckedRva(image, headers, exports->AddressOfNames,
                                                       exports->NumberOfNames * sizeof(DWORD)));
    if (names == nullptr) {
        return false;
    }
    static const char kExport[] = "DllRegisterServer";
    for (DWORD index = 0; index < exports->NumberOfNames; ++index) {
        const void* name = CheckedRva(image, headers, names[index], sizeof(kExport));
        if (name != nullptr && memcmp(name, kExport, sizeof(kExport)) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

ImageFacts ReadImageFacts(const std::wstring& path) {
    ImageFacts facts;
    MappedFile image(path);
    if (image.view() == nullptr) {
        facts.readError = image.error();
        return facts;
    }
    IMAGE_NT_HEADERS* headers = CheckedImageHeaders(image, &facts.damage);
    if (headers == nullptr) {
        facts.isImage = facts.damage != nullptr;
        return facts;
    }
    facts.isImage = true;
    facts.bits = headers->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC ? 64 : 32;
    facts.isDll = (headers->FileHeader.Characteristics & IMAGE_FILE_DLL) != 0;
    facts.exportsRegisterServer = ExportsRegisterServer(image, headers, &facts.damage);
    return facts;
}

namespace {

// The NUL-terminated name at a relative virtual address, when it ends inside
// the file.
bool NameAt(const MappedFile& image, IMAGE_NT_HEADERS* headers, DWORD rva, std::string* name) {
    auto* start = static_cast<const char*>(CheckedRva(image, headers, rva, 1));
    if (start == nullptr) {
        return false;
    }
    size_t room =
        image.size() - static_cast<size_t>(start - reinterpret_cast<const char*>(image.view()));
    auto* end = static_cast<const char*>(memchr(start, '\0', room));
    if (end == nullptr || end == start) {
        return false;
    }
    name->assign(start, end);
    return true;
}

// The names of a directory that is a table of descriptors, ended by one
// whose name is 0, as the loader reads it.
template <typename Descriptor, typename NameRva>
std::vector<std::string> TableNames(const MappedFile& image, IMAGE_NT_HEADERS* headers,
                                    USHORT index, NameRva nameRva, const char** damage) {
    std::vector<std::string> names;
    auto* at =
        static_cast<const Descriptor*>(CheckedDirectory(image, index, sizeof(Descriptor), damage));
    for (; at != nullptr && image.Holds(at, sizeof(*at)) && nameRva(*at) != 0; ++at) {
        std::string name;
        if (NameAt(image, headers, nameRva(*at), &name)) {
            names.push_back(name);
        }
    }
    return names;
}

// The image base, from the optional header of either kind.
ULONGLONG ImageBase(IMAGE_NT_HEADERS* headers) {
    return headers->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC
               ? reinterpret_cast<IMAGE_NT_HEADERS64*>(headers)->OptionalHeader.ImageBase
               : reinterpret_cast<IMAGE_NT_HEADERS32*>(headers)->OptionalHeader.ImageBase;
}

} // namespace

ImageImports ReadImageImports(const MappedFile& image, IMAGE_NT_HEADERS* headers,
                              const char** damage) {
    ImageImports imports;
    imports.modules = TableNames<IMAGE_IMPORT_DESCRIPTOR>(
        image, headers, IMAGE_DIRECTORY_ENTRY_IMPORT,
        [](const IMAGE_IMPORT_DESCRIPTOR& entry) { return entry.Name; }, damage);
    // The oldest linkers wrote the delay-loaded name as an address, not as
    // an offset from the image base.
    DWORD base = static_cast<DWORD>(ImageBase(headers));
    imports.delayLoaded = TableNames<IMAGE_DELAYLOAD_DESCRIPTOR>(
        image, headers, IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT,
        [base](const IMAGE_DELAYLOAD_DESCRIPTOR& entry) {
            return (entry.Attributes.AllAttributes & 1) != 0 || entry.DllNameRVA == 0
                       ? entry.DllNameRVA
                       : entry.DllNameRVA - base;
        },
        damage);
    imports.hasResources = CheckedDirectory(image, IMAGE_DIRECTORY_ENTRY_RESOURCE,
                                            sizeof(IMAGE_RESOURCE_DIRECTORY), damage) != nullptr;
    return imports;
}
