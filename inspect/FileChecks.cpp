#include "inspect/Inspect.h"

#include <imagehlp.h>
#include <oleauto.h>

#include <string>
#include <vector>

namespace {

// What a file is, as far as its headers and export table tell, without
// loading it as code.
struct ImageFacts {
    bool isImage = false;
    bool isDll = false;
    int bits = 0;
    bool exportsRegisterServer = false;
};

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

// Loads the file as a type library and lets it go again; REGKIND_NONE keeps
// the loader from registering anything.
bool LoadsAsTypeLibrary(const char* path) {
    WCHAR widePath[kPathBufferSize];
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, kPathBufferSize) == 0) {
        return false;
    }
    ITypeLib* library = nullptr;
    if (FAILED(LoadTypeLibEx(widePath, REGKIND_NONE, &library))) {
        return false;
    }
    library->Release();
    return true;
}

bool IsFile(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The full path, for comparing paths written in different ways.
std::string FullPath(const std::string& path) {
    char full[MAX_PATH * 4];
    DWORD length = GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
    return length == 0 || length >= sizeof(full) ? path : std::string(full, length);
}

bool SamePath(const std::string& first, const std::string& second) {
    return lstrcmpiA(FullPath(first).c_str(), FullPath(second).c_str()) == 0;
}

// A path of the delayed-move list, without the "!" of a replacing move and
// the "\??\" of the native form.
std::string PlainPath(const char* entry) {
    if (*entry == '!') {
        ++entry;
    }
    if (strncmp(entry, "\\??\\", 4) == 0) {
        entry += 4;
    }
    return entry;
}

enum class AtRestart { Untouched, Arrives, Leaves };

// What the restart's delayed moves do to the file, taken in their order: it
// arrives from source, or leaves (deleted or moved away to source).
AtRestart FindDelayedMove(const char* file, std::string* source) {
    AtRestart fate = AtRestart::Untouched;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_READ, &key) != ERROR_SUCCESS) {
        return fate;
    }
    DWORD type = REG_NONE;
    DWORD size = 0;
    std::vector<char> list;
    if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type, nullptr, &size) ==
            ERROR_SUCCESS &&
        type == REG_MULTI_SZ) {
        list.resize(size + 2);
        RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type,
                         reinterpret_cast<BYTE*>(list.data()), &size);
    }
    RegCloseKey(key);
    // Pairs of strings: the file to move, then where to; an empty target
    // deletes it.
    const char* end = list.data() + list.size() - 2;
    for (const char* at = list.data(); !list.empty() && at < end && *at != '\0';) {
        std::string from = PlainPath(at);
        at += strlen(at) + 1;
        if (at >= end) {
            break;
        }
        std::string to = PlainPath(at);
        at += strlen(at) + 1;
        if (SamePath(from, file)) {
            fate = AtRestart::Leaves;
            *source = to;
        } else if (!to.empty() && SamePath(to, file)) {
            fate = AtRestart::Arrives;
            *source = from;
        }
    }
    return fate;
}

// Finds the file now or at restart; returns the path whose bytes the
// registration will see, or an empty string when there will be none.
std::string LocateFile(const char* file, Tally& tally) {
    std::string source;
    AtRestart fate = FindDelayedMove(file, &source);
    bool present = IsFile(file);
    if (fate == AtRestart::Leaves) {
        Check(tally, Outcome::Fail, "the file %s at restart, before the pass can run",
              source.empty() ? "is deleted" : ("is moved away to " + source).c_str());
        return std::string();
    }
    if (fate == AtRestart::Arrives) {
        if (!IsFile(source.c_str())) {
            Check(tally, Outcome::Fail,
                  "the file is to arrive at restart from %s, which is not there", source.c_str());
            return std::string();
        }
        Check(tally, Outcome::Ok, "%s at restart from %s",
              present ? "file present, replaced" : "file arrives", source.c_str());
        return source;
    }
    if (!present) {
        Check(tally, Outcome::Fail, "file not found, and no pending rename creates it");
        return std::string();
    }
    Check(tally, Outcome::Ok, "file present");
    return file;
}

void CheckDll(const ImageFacts& facts, bool is64Bit, const InspectOptions& options, Tally& tally) {
    if (!facts.isImage || !facts.isDll) {
        Check(tally, Outcome::Fail, "not a DLL");
        return;
    }
    if (is64Bit && facts.bits != 64) {
        Check(tally, Outcome::Fail,
              "32-bit DLL: the 64-bit regsvr32.exe that DX runs cannot load it "
              "(record it as D)");
    } else if (!is64Bit && facts.bits != options.toolBits) {
        Check(tally, Outcome::Fail, "%d-bit DLL: the tool's own %d-bit child cannot load it%s",
              facts.bits, options.toolBits, facts.bits == 64 ? " (record it as DX)" : "");
    } else {
        Check(tally, Outcome::Ok, "%d-bit DLL", facts.bits);
    }
    if (facts.exportsRegisterServer) {
        Check(tally, Outcome::Ok, "exports DllRegisterServer");
    } else {
        Check(tally, Outcome::Fail,
              "does not export DllRegisterServer: nothing would be registered");
    }
}

} // namespace

void CheckEntryFile(char kind, bool is64Bit, const char* file, const InspectOptions& options,
                    Tally& tally) {
    if (kind == 'T' && is64Bit) {
        Check(tally, Outcome::Warn,
              "TX runs regsvr32.exe, which does not register type libraries: "
              "record the library as T, or register it from a 64-bit DLL");
    }
    std::string located = LocateFile(file, tally);
    if (located.empty()) {
        return;
    }
    if (kind == 'T' && !is64Bit) {
        if (LoadsAsTypeLibrary(located.c_str())) {
            Check(tally, Outcome::Ok, "loads as a type library");
        } else {
            Check(tally, Outcome::Fail, "does not load as a type library");
        }
        return;
    }
    ImageFacts facts = ReadImageFacts(located.c_str());
    if (kind == 'E') {
        if (facts.isImage && !facts.isDll) {
            Check(tally, Outcome::Ok, "%d-bit executable", facts.bits);
        } else {
            Check(tally, Outcome::Fail,
                  facts.isImage ? "a DLL, not an executable (record it as D or DX)"
                                : "not an executable");
        }
        return;
    }
    if (kind == 'D') {
        CheckDll(facts, is64Bit, options, tally);
    }
}
