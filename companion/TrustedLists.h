#pragma once
// The access lists that the companions give what they make, written in the
// security descriptor language. Every object that an elevated step later
// trusts (the tool's copy, a log, the recorders' lock, the products' record)
// may be changed by no one but SYSTEM and Administrators: one spelling of
// those two, from which each list is made, so that no list can grant a third.

// Full control for SYSTEM and Administrators, with the inheritance flags and
// the right's name of the object's kind.
#define PENDREG_TRUSTED_ONLY(inherit, all)                                                         \
    L"(A;" inherit L";" all L";;;SY)(A;" inherit L";" all L";;;BA)"

// The folder of the tool's copy: Users may read and run it. Protected, so
// nothing comes from the Temp folder above, where users may add files; the
// pass runs the copy and loads DLLs from its folder first.
inline constexpr wchar_t kCopyFolderList[] =
    L"D:P" PENDREG_TRUSTED_ONLY(L"OICI", L"FA") L"(A;OICI;0x1200a9;;;BU)";

// A new log: Users may read it.
inline constexpr wchar_t kOutputLogList[] = L"D:P" PENDREG_TRUSTED_ONLY(L"", L"FA") L"(A;;FR;;;BU)";

// The recorders' lock: no one else may open it, not even to hold it.
inline constexpr wchar_t kTurnLockList[] = L"O:BAG:SYD:P" PENDREG_TRUSTED_ONLY(L"", L"FA");

// The products' record, inherited by every key below it: Users may read it.
// It decides what an elevated undo deletes.
inline constexpr wchar_t kRecordKeyList[] =
    L"D:P" PENDREG_TRUSTED_ONLY(L"CI", L"KA") L"(A;CI;KR;;;BU)";
