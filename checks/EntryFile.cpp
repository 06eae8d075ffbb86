#include "checks/EntryFile.h"

#include "checks/ImageFacts.h"
#include "checks/RestartRenames.h"
#include "main/PathBuffer.h"

#include <windows.h>
#include <oleauto.h>

namespace {

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

// Finds the file now or at restart; returns the path whose bytes the
// registration will see, or an empty string when there will be none.
std::string LocateFile(const char* file, Findings& findings) {
    std::string source;
    AtRestart fate = FindDelayedMove(file, &source);
    bool present = IsFile(file);
    if (fate == AtRestart::Leaves) {
        AddFinding(findings, Outcome::Fail, "the file %s at restart, before the pass can run",
                   source.empty() ? "is deleted" : ("is moved away to " + source).c_str());
        return std::string();
    }
    if (fate == AtRestart::Arrives) {
        if (!IsFile(source.c_str())) {
            AddFinding(findings, Outcome::Fail,
                       "the file is to arrive at restart from %s, which is not there",
                       source.c_str());
            return std::string();
        }
        AddFinding(findings, Outcome::Ok, "%s at restart from %s",
                   present ? "file present, replaced" : "file arrives", source.c_str());
        return source;
    }
    if (!present) {
        AddFinding(findings, Outcome::Fail, "file not found, and no pending rename creates it");
        return std::string();
    }
    AddFinding(findings, Outcome::Ok, "file present");
    return file;
}

void CheckDll(const ImageFacts& facts, bool is64Bit, int toolBits, Findings& findings) {
    if (!facts.isImage || !facts.isDll) {
        AddFinding(findings, Outcome::Fail, "not a DLL");
        return;
    }
    if (is64Bit && facts.bits != 64) {
        AddFinding(findings, Outcome::Fail,
                   "32-bit DLL: the 64-bit regsvr32.exe that DX runs cannot load it "
                   "(record it as D)");
    } else if (!is64Bit && facts.bits != toolBits) {
        AddFinding(findings, Outcome::Fail,
                   "%d-bit DLL: the tool's own %d-bit child cannot load it%s", facts.bits, toolBits,
                   facts.bits == 64 ? " (record it as DX)" : "");
    } else {
        AddFinding(findings, Outcome::Ok, "%d-bit DLL", facts.bits);
    }
    if (facts.exportsRegisterServer) {
        AddFinding(findings, Outcome::Ok, "exports DllRegisterServer");
    } else {
        AddFinding(findings, Outcome::Fail,
                   "does not export DllRegisterServer: nothing would be registered");
    }
}

} // namespace

Findings CheckEntryFile(char kind, bool is64Bit, const char* file, int toolBits) {
    Findings findings;
    if (kind == 'T' && is64Bit) {
        AddFinding(findings, Outcome::Warn,
                   "TX runs regsvr32.exe, which does not register type libraries: "
                   "record the library as T, or register it from a 64-bit DLL");
    }
    std::string located = LocateFile(file, findings);
    if (located.empty()) {
        return findings;
    }
    if (kind == 'T' && !is64Bit) {
        if (LoadsAsTypeLibrary(located.c_str())) {
            AddFinding(findings, Outcome::Ok, "loads as a type library");
        } else {
            AddFinding(findings, Outcome::Fail, "does not load as a type library");
        }
        return findings;
    }
    ImageFacts facts = ReadImageFacts(located.c_str());
    if (kind == 'E') {
        if (facts.isImage && !facts.isDll) {
            AddFinding(findings, Outcome::Ok, "%d-bit executable", facts.bits);
        } else {
            AddFinding(findings, Outcome::Fail,
                       facts.isImage ? "a DLL, not an executable (record it as D or DX)"
                                     : "not an executable");
        }
        return findings;
    }
    if (kind == 'D') {
        CheckDll(facts, is64Bit, toolBits, findings);
    }
    return findings;
}
