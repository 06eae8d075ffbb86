#pragma once
// The catalogue of findings: every kind of finding has a code, chosen once,
// that programs and tests rely on, an outcome that is part of its definition,
// what the inspector's summary counts it as, and its words. Checks build
// findings from codes and what they are about; the words are put together
// here only, so that a line is worded in one place however many checks and
// companions report it.
//
// The words are a template: "%s" takes the next argument's text (a path or
// other words), "%u" the next number in decimal and "%x" the next number as
// 0x followed by eight hexadecimal digits. Arguments made with About() name a
// path that the finding is about without being spelt alone in its words.
#include <stdint.h>

#include <initializer_list>
#include <string>
#include <vector>

// ok: nothing wrong. warn: something that may well be right. fail: keeps the
// pass from doing what the records ask, but the recorder records the file all
// the same (what the file needs, which the same installer may install after
// it; the inspector's verdicts on records already there). refuse: the same,
// and the recorder refuses to record the file.
enum class Outcome { Ok, Fail, Warn, Refuse };

// What a line adds to the inspector's summary, besides nothing.
enum class CountedAs {
    Nothing,
    // A failed check (fail or refuse), or a warning.
    Check,
    // An object that ordinary users may change, or whose permissions cannot
    // be read (fail or refuse).
    Placement,
    EntryRun,
    EntrySkipped,
    WorkSetUnrun,
    WorkSetKept,
    WorkSetUnrunAndKept,
    OtherView,
    KeyUnreadable,
    ArmingValue
};

// X(name, code, outcome, counted as, words), in the order of the guide's list.
#define PENDREG_FINDING_CODES(X)                                                                   \
    X(TxRegistersNothing, "tx-registers-nothing", Refuse, Check,                                   \
      "TX runs regsvr32.exe, which does not register type libraries: record the library as T, "    \
      "or register it from a 64-bit DLL")                                                          \
    X(DevicePath, "device-path", Refuse, Check,                                                    \
      "names a device or a volume, not a file on a drive or a share: no check can tell which "     \
      "file it is")                                                                                \
    X(NotAFullPath, "not-a-full-path", Refuse, Check,                                              \
      "not a full path: which file is registered depends on the folder the pass is started in "    \
      "and on the search path")                                                                    \
    X(DllNameWithoutExtension, "dll-name-without-extension", Ok, Check,                            \
      "the name has no extension: the loader opens %s")                                            \
    X(ExeNameWithoutExtension, "exe-name-without-extension", Ok, Check,                            \
      "the name has no extension: process creation opens %s")                                      \
    X(FileOutOfReach, "file-out-of-reach", Refuse, Check, "the file %s")                           \
    X(NewVersionOutOfReach, "new-version-out-of-reach", Refuse, Check, "the new version %s %s")    \
    X(FileDeletedAtRestart, "file-deleted-at-restart", Refuse, Check,                              \
      "the file is deleted at restart, before the pass can run")                                   \
    X(FileMovedAwayAtRestart, "file-moved-away-at-restart", Refuse, Check,                         \
      "the file is moved away to %s at restart, before the pass can run")                          \
    X(PendingMoveFails, "pending-move-fails", Warn, Check,                                         \
      "the pending move of %s onto this file fails at restart: the file exists and the move was "  \
      "recorded without the replace flag, so the file present now stays and is the one "           \
      "registered")                                                                                \
    X(FileSourceMissing, "file-source-missing", Refuse, Check,                                     \
      "file not found: the pending move that would put it in place fails at restart, as %s is "    \
      "not there")                                                                                 \
    X(FileMissing, "file-missing", Refuse, Check,                                                  \
      "file not found, and no pending rename creates it")                                          \
    X(FileReplacedAtRestart, "file-replaced-at-restart", Ok, Check,                                \
      "file present, replaced at restart from %s")                                                 \
    X(FileArrivesAtRestart, "file-arrives-at-restart", Ok, Check,                                  \
      "file arrives at restart from %s")                                                           \
    X(FilePresent, "file-present", Ok, Check, "file present")                                      \
    X(FileUnreadable, "file-unreadable", Refuse, Check, "cannot be read (error %u)")               \
    X(DamagedImage, "damaged-image", Refuse, Check, "damaged image: %s")                           \
    X(NotADll, "not-a-dll", Refuse, Check, "not a DLL")                                            \
    X(DxHolds32BitDll, "dx-holds-32-bit-dll", Warn, Check,                                         \
      "32-bit DLL recorded as DX: the 64-bit regsvr32.exe hands it to the 32-bit regsvr32.exe, "   \
      "which registers it; record it as D, and the tool's own 32-bit child registers it")          \
    X(DxHolds32BitDllFor64BitTool, "dx-holds-32-bit-dll-for-64-bit-tool", Warn, Check,             \
      "32-bit DLL recorded as DX: the 64-bit regsvr32.exe hands it to the 32-bit regsvr32.exe, "   \
      "which registers it; D is for the 32-bit tool, whose own child is 32-bit")                   \
    X(DllNeedsDx, "dll-needs-dx", Refuse, Check,                                                   \
      "%u-bit DLL: the tool's own %u-bit child cannot load it (record it as DX)")                  \
    X(DllOtherBitness, "dll-other-bitness", Refuse, Check,                                         \
      "%u-bit DLL: the tool's own %u-bit child cannot load it")                                    \
    X(DllBits, "dll-bits", Ok, Check, "%u-bit DLL")                                                \
    X(ExportsRegister, "exports-register", Ok, Check, "exports DllRegisterServer")                 \
    X(NoRegisterExport, "no-register-export", Refuse, Check,                                       \
      "does not export DllRegisterServer: nothing would be registered")                            \
    X(ExecutableBits, "executable-bits", Ok, Check, "%u-bit executable")                           \
    X(DllNotExecutable, "dll-not-executable", Refuse, Check,                                       \
      "a DLL, not an executable (record it as D or DX)")                                           \
    X(NotAnExecutable, "not-an-executable", Refuse, Check, "not an executable")                    \
    X(TypeLibraryLoads, "type-library-loads", Ok, Check, "loads as a type library")                \
    X(NotATypeLibrary, "not-a-type-library", Refuse, Check, "does not load as a type library")     \
    X(TypeLibraryLoaderCrashed, "type-library-loader-crashed", Refuse, Check,                      \
      "does not load as a type library: the loader crashed on it (exception %x), and so will "     \
      "the tool's child")                                                                          \
    X(TypeLibraryLoadUnfinished, "type-library-load-unfinished", Refuse, Check,                    \
      "does not load as a type library: the loader did not finish with it")                        \
    X(TypeLibraryProbeFailed, "type-library-probe-failed", Refuse, Check,                          \
      "could not be loaded as a type library: the probe did not start (error %u)")                 \
    X(PathWithSlashes, "path-with-slashes", Warn, Check,                                           \
      "the path is written with \"/\": the search order that puts the DLL's own folder first "     \
      "applies only to a path written with backslashes, so the loader looks for the modules it "   \
      "needs in %s (record it with backslashes)")                                                  \
    X(ModuleMissing, "module-missing", Fail, Check,                                                \
      "%s, which a %u-bit process will not find: not in %s%s%s")                                   \
    X(ModuleOtherBitness, "module-other-bitness", Fail, Check,                                     \
      "%s, which a %u-bit process finds %s as a %u-bit file: %s%s%s")                              \
    X(ModuleUnusable, "module-unusable", Fail, Check,                                              \
      "%s, which a %u-bit process finds %s as %s, which is no image it can load%s%s")              \
    X(DelayedModuleMissing, "delayed-module-missing", Warn, Check,                                 \
      "%s, which a %u-bit process will not find: not in %s%s%s; %s loads all the same, and "       \
      "fails only when it calls into it")                                                          \
    X(DelayedModuleOtherBitness, "delayed-module-other-bitness", Warn, Check,                      \
      "%s, which a %u-bit process finds %s as a %u-bit file: %s%s%s; %s loads all the same, and "  \
      "fails only when it calls into it")                                                          \
    X(DelayedModuleUnusable, "delayed-module-unusable", Warn, Check,                               \
      "%s, which a %u-bit process finds %s as %s, which is no image it can load%s%s; %s loads "    \
      "all the same, and fails only when it calls into it")                                        \
    X(ModuleArrivesAtRestart, "module-arrives-at-restart", Ok, Check,                              \
      "%s, which arrives at restart from %s%s")                                                    \
    X(ModuleFoundThroughPath, "module-found-through-path", Ok, Check,                              \
      "%s, found through PATH in %s%s")                                                            \
    X(ModuleInToolFolder, "module-in-tool-folder", Ok, Check,                                      \
      "%s, found in the tool's folder %s%s")                                                       \
    X(ModulesFound, "modules-found", Ok, Check, "a %u-bit process finds every module it needs")    \
    X(AssemblyInstalled, "assembly-installed", Ok, Check,                                          \
      "%s asks for the side-by-side assembly %s %s (%s), which is installed in %s")                \
    X(AssemblyRedirected, "assembly-redirected", Ok, Check,                                        \
      "%s asks for the side-by-side assembly %s %s (%s), which its publisher's policy redirects "  \
      "to %s, installed in %s")                                                                    \
    X(AssemblyMissing, "assembly-missing", Warn, Check,                                            \
      "%s asks for the side-by-side assembly %s %s (%s), which is not installed in %s: the file "  \
      "loads only once it is installed there, or lies beside the file as a private assembly")      \
    X(StoredPathUnheld, "stored-path-unheld", Fail, Check,                                         \
      "the ANSI code page cannot hold the stored path: stored \"%s\", the tool reads \"%s\"")      \
    X(PermissionsUnreadable, "permissions-unreadable", Refuse, Placement,                          \
      "cannot tell who may change %s: its permissions cannot be read (error %u)")                  \
    X(FileUsersMayChange, "file-users-may-change", Refuse, Placement,                              \
      "ordinary users may change %s: %s")                                                          \
    X(FolderUsersMayChange, "folder-users-may-change", Refuse, Placement,                          \
      "ordinary users may change %s: %s")                                                          \
    X(KeyUsersMayChange, "key-users-may-change", Refuse, Placement,                                \
      "ordinary users may change %s: %s")                                                          \
    X(FileSafe, "file-safe", Ok, Placement,                                                        \
      "no ordinary user may change the file or the folders above it")                              \
    X(NewVersionSafe, "new-version-safe", Ok, Placement,                                           \
      "no ordinary user may change the file, its new version or the folders above them")           \
    X(ModulesSafe, "modules-safe", Ok, Placement,                                                  \
      "no ordinary user may change the modules it needs, or add one where the loader looks "       \
      "before them")                                                                               \
    X(CopySafe, "copy-safe", Ok, Placement,                                                        \
      "no ordinary user may change the tool's copy or the folders above it")                       \
    X(CopyNotAFullPath, "copy-not-a-full-path", Refuse, Check,                                     \
      "the tool's copy %s is not named by a full path: which program starts depends on the "       \
      "search path")                                                                               \
    X(CopyDeletedAtRestart, "copy-deleted-at-restart", Refuse, Check,                              \
      "the tool's copy %s is deleted at restart, before it can run")                               \
    X(CopyMovedAwayAtRestart, "copy-moved-away-at-restart", Refuse, Check,                         \
      "the tool's copy %s is moved away to %s at restart, before it can run")                      \
    X(CopyMissing, "copy-missing", Refuse, Check, "the tool's copy %s is not there")               \
    X(CopyArrivesAtRestart, "copy-arrives-at-restart", Ok, Check,                                  \
      "the tool's copy %s arrives at restart from %s")                                             \
    X(CopyPresent, "copy-present", Ok, Check, "the tool's copy %s is there")                       \
    X(WorkSetRuns, "work-set-runs", Ok, Nothing,                                                   \
      "work set \"%s\": runs entries 1 to %u, then is deleted")                                    \
    X(WorkSetHasSubkey, "work-set-has-subkey", Fail, WorkSetKept,                                  \
      "work set \"%s\": runs entries 1 to %u, then stays: it has a subkey, so the pass cannot "    \
      "delete it and every later pass runs it again")                                              \
    X(WorkSetDeleteRefused, "work-set-delete-refused", Fail, WorkSetKept,                          \
      "work set \"%s\": runs entries 1 to %u, then stays: its access list refuses the pass "       \
      "DELETE, so every later pass runs it again")                                                 \
    X(WorkSetRunsNothing, "work-set-runs-nothing", Fail, WorkSetUnrun,                             \
      "work set \"%s\": runs nothing (%s), then is deleted")                                       \
    X(WorkSetRunsNothingHasSubkey, "work-set-runs-nothing-has-subkey", Fail, WorkSetUnrunAndKept,  \
      "work set \"%s\": runs nothing (%s), then stays: it has a subkey, so the pass cannot "       \
      "delete it and every later pass runs it again")                                              \
    X(WorkSetRunsNothingDeleteRefused, "work-set-runs-nothing-delete-refused", Fail,               \
      WorkSetUnrunAndKept,                                                                         \
      "work set \"%s\": runs nothing (%s), then stays: its access list refuses the pass DELETE, "  \
      "so every later pass runs it again")                                                         \
    X(WorkSetUnopenedUnlisted, "work-set-unopened-unlisted", Fail, WorkSetUnrun,                   \
      "work set \"%s\": runs nothing (it cannot be opened), then is deleted, unless it has a "     \
      "subkey, which cannot be listed either")                                                     \
    X(WorkSetUnopened, "work-set-unopened", Fail, WorkSetUnrun,                                    \
      "work set \"%s\": deleted without running anything: it cannot be opened")                    \
    X(WorkSetNameUnheld, "work-set-name-unheld", Fail, WorkSetUnrunAndKept,                        \
      "work set \"%s\": stays: its name cannot be held by the ANSI code page; the pass reads it "  \
      "as \"%s\", which names no work set, so it can neither run it nor delete it")                \
    X(WorkSetNameTaken, "work-set-name-taken", Ok, Nothing,                                        \
      "work set \"%s\": its name cannot be held by the ANSI code page; the pass reads it as "      \
      "\"%s\" and takes work set \"%s\" in its place:")                                            \
    X(EntryRuns, "entry-runs", Ok, EntryRun, "entry %u (%s): runs %s")                             \
    X(ValueMissing, "value-missing", Fail, EntrySkipped, "entry %u: skipped: \"%s\" is missing")   \
    X(ValueNotAString, "value-not-a-string", Fail, EntrySkipped,                                   \
      "entry %u: skipped: \"%s\" is not a REG_SZ")                                                 \
    X(ModeTooLong, "mode-too-long", Fail, EntrySkipped,                                            \
      "entry %u: skipped: \"%s\" is too long: a mode has at most 2 characters")                    \
    X(FileValueTooLong, "file-value-too-long", Fail, EntrySkipped,                                 \
      "entry %u: skipped: \"%s\" is too long: a file path has at most 1023 bytes")                 \
    X(FileValueEmpty, "file-value-empty", Fail, EntrySkipped,                                      \
      "entry %u (%s): skipped: the file value is empty")                                           \
    X(KindUnknown, "kind-unknown", Fail, EntrySkipped,                                             \
      "entry %u (%s): skipped: the kind letter is not D, E or T")                                  \
    X(CommandLineTooLong, "command-line-too-long", Fail, EntrySkipped,                             \
      "entry %u (%s): skipped: its command line would be longer than %u characters (bytes in the " \
      "ANSI code page)")                                                                           \
    X(EntryWithoutValues, "entry-without-values", Fail, EntrySkipped,                              \
      "entry %u: skipped: it has no values")                                                       \
    X(EntriesWithoutValues, "entries-without-values", Fail, EntrySkipped,                          \
      "entries %u to %u: skipped: they have no values")                                            \
    X(ManyEntriesWithoutValues, "many-entries-without-values", Fail, EntrySkipped,                 \
      "entries %u to %u: skipped: they have no values; the pass still tries every one of these "   \
      "numbers, which can take hours")                                                             \
    X(EntryBeyondCount, "entry-beyond-count", Fail, EntrySkipped,                                  \
      "entry %u: never run: it lies beyond \"count\" (%u)")                                        \
    X(KeyStays, "key-stays", Fail, Nothing, "the key stays too, with the work sets that stay")     \
    X(KeyMissing, "key-missing", Ok, Nothing, "no work sets: the key is not there")                \
    X(KeyUnreadable, "key-unreadable", Fail, KeyUnreadable,                                        \
      "the key is there but cannot be opened for reading: the pass runs nothing, and the key "     \
      "stays with all its work sets")                                                              \
    X(OtherView, "other-view", Fail, OtherView,                                                    \
      "other view: work set \"%s\" lies in the %u-bit view, which the tool never reads")           \
    X(Armed, "armed", Ok, ArmingValue,                                                             \
      "armed: RunOnce value \"%s\" (%u-bit view) runs %s when a member of Administrators next "    \
      "logs on; a standard user's logon does not run it")                                          \
    X(NotArmed, "not-armed", Fail, Check,                                                          \
      "not armed: no RunOnce value under HKLM starts a copy of the tool with \"/S\", so nothing "  \
      "runs the pass at the next logon")                                                           \
    X(ArmedSeveralTimes, "armed-several-times", Warn, Check,                                       \
      "%u RunOnce values start the pass: the first to run runs every work set, and the others "    \
      "find nothing left to do")                                                                   \
    X(NothingRecorded, "nothing-recorded", Ok, Nothing,                                            \
      "nothing recorded: no work set, and no RunOnce value starts the pass")                       \
    X(CarriedOut, "carried-out", Ok, Nothing,                                                      \
      "carried out: work set \"%s\" is gone, and the recorder noted entries for it: the pass has " \
      "run it and deleted it")                                                                     \
    X(NothingRecordedFor, "nothing-recorded-for", Fail, Check,                                     \
      "nothing recorded for \"%s\": no work set of that name, and the recorder noted nothing for " \
      "it (a misspelt name, or an add that never ran)")

enum class FindingCode {
#define PENDREG_CODE_ENUM(name, code, outcome, counted, words) name,
    PENDREG_FINDING_CODES(PENDREG_CODE_ENUM)
#undef PENDREG_CODE_ENUM
};

// How many codes the catalogue holds.
extern const unsigned kFindingCodeCount;

// What an argument of a finding is: the words fill the template in order.
enum class ArgumentKind : unsigned char { Path, Words, Number, About };

struct FindingArgument {
    ArgumentKind kind;
    std::string text;
    uint64_t number;
};

// A path as the report shows it, spelt in the words.
FindingArgument Path(const std::string& shown);
FindingArgument Path(const std::wstring& path);
// Words that a check puts together itself (a reason, a list of folders).
FindingArgument Words(const std::string& words);
FindingArgument Number(uint64_t number);
// A path the finding is about, which its words spell inside other words.
FindingArgument About(const std::string& shown);
FindingArgument About(const std::wstring& path);

struct Finding {
    FindingCode code;
    // The code's, from the catalogue.
    Outcome outcome;
    std::vector<FindingArgument> arguments;
};

Finding MakeFinding(FindingCode code, std::initializer_list<FindingArgument> arguments = {});

const char* CodeName(FindingCode code);
Outcome OutcomeOf(FindingCode code);
CountedAs CountedAsOf(FindingCode code);
// "ok", "warn", "fail" or "refuse".
const char* OutcomeName(Outcome outcome);
// Whether the outcome keeps the pass from doing what the records ask.
bool Fails(Outcome outcome);

// The finding's line: its code's words filled with its arguments.
std::string FindingText(const Finding& finding);
