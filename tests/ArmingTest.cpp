// Which RunOnce value's copy runs the pass: the values are read as the
// platform's start-up runs them, the 64-bit view first, and the first copy
// that is taken is the one that runs; every companion names that one.
#include "checks/arming/Arming.h"
#include "checks/renames/RestartRenames.h"
#include "harness/Guards.h"
#include "harness/Harness.h"
#include "harness/Placement.h"

#include <gtest/gtest.h>

namespace {

struct TakenCase {
    const char* name;
    // Why each value's copy is not taken, in the order read; "" for one
    // that is.
    std::vector<const char*> notTaken;
    int taken; // its index; -1 for none
};

void PrintTo(const TakenCase& row, std::ostream* out) {
    *out << row.name;
}

const TakenCase kTakenCases[] = {
    {"FirstOfTwoTaken", {"", ""}, 0},
    {"FirstTakenAfterARefusedOne", {"ordinary users may change it", "", ""}, 1},
    {"OnlyTheLastTaken", {"not the tool", "not there", ""}, 2},
    {"NoneTaken", {"not the tool", "not there"}, -1},
    {"NoValues", {}, -1},
};

class ArmedCopyTaken : public testing::TestWithParam<TakenCase> {};

TEST_P(ArmedCopyTaken, IsTheFirstThatRuns) {
    const TakenCase& row = GetParam();
    std::vector<ArmedCopy> judged;
    for (const char* why : row.notTaken) {
        ArmedCopy copy = {};
        copy.value.name = L"value " + std::to_wstring(judged.size());
        copy.notTaken = why;
        judged.push_back(copy);
    }
    ArmedCopy taken;

    bool found = FindArmedCopy(judged, &taken);

    ASSERT_EQ(row.taken >= 0, found);
    if (found) {
        EXPECT_TRUE(taken.value.name == judged[row.taken].value.name)
            << "took the value at another place than " << row.taken;
    }
}

INSTANTIATE_TEST_SUITE_P(Checks, ArmedCopyTaken, testing::ValuesIn(kTakenCases),
                         [](const testing::TestParamInfo<TakenCase>& info) {
                             return std::string(info.param.name);
                         });

struct ViewOrderCase {
    const char* name;
    // The RunOnce values written, in this order: name and view.
    std::vector<std::pair<const char*, REGSAM>> written;
    // The names as read, in order, each with its view's bits.
    std::vector<std::pair<std::string, int>> read;
};

void PrintTo(const ViewOrderCase& row, std::ostream* out) {
    *out << row.name;
}

const ViewOrderCase kViewOrderCases[] = {
    {"SixtyFourBitViewFirstWhenWrittenLast",
     {{"pendreg view b", KEY_WOW64_32KEY}, {"pendreg view a", KEY_WOW64_64KEY}},
     {{"pendreg view a", 64}, {"pendreg view b", 32}}},
    {"SixtyFourBitViewFirstWhenWrittenFirst",
     {{"pendreg view a", KEY_WOW64_64KEY}, {"pendreg view b", KEY_WOW64_32KEY}},
     {{"pendreg view a", 64}, {"pendreg view b", 32}}},
    {"BothViewsOfOneName",
     {{"pendreg view a", KEY_WOW64_32KEY}, {"pendreg view a", KEY_WOW64_64KEY}},
     {{"pendreg view a", 64}, {"pendreg view a", 32}}},
};

class RunOnceViews : public testing::TestWithParam<ViewOrderCase> {
  protected:
    harness::RunOnceGuard first_{"pendreg view a"};
    harness::RunOnceGuard second_{"pendreg view b"};
};

TEST_P(RunOnceViews, AreReadSixtyFourBitFirst) {
    const ViewOrderCase& row = GetParam();
    for (const auto& value : row.written) {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, harness::kRunOnceKey, 0,
                                               KEY_SET_VALUE | value.second, &key))
            << "no RunOnce key in that view";
        std::string command = "C:\\pendreg\\pendreg.exe /S";
        RegSetValueExA(key, value.first, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                       static_cast<DWORD>(command.size() + 1));
        RegCloseKey(key);
    }

    std::vector<std::pair<std::string, int>> read;
    for (const ArmingValue& value : ReadRunOnceValues()) {
        std::string name(value.name.begin(), value.name.end());
        if (name.compare(0, 13, "pendreg view ") == 0) {
            read.push_back({name, value.viewBits});
        }
    }

    EXPECT_EQ(row.read, read);
}

INSTANTIATE_TEST_SUITE_P(Checks, RunOnceViews, testing::ValuesIn(kViewOrderCases),
                         [](const testing::TestParamInfo<ViewOrderCase>& info) {
                             return std::string(info.param.name);
                         });

const char kJudgedName[] = "pendreg judged test";

// Adds a pair to the platform's delayed-move list as written, not as
// MoveFileEx would write it.
bool AddStoredRename(const std::wstring& from, const std::wstring& to) {
    std::wstring list(65536, L'\0');
    DWORD size = static_cast<DWORD>(list.size() * sizeof(wchar_t));
    list.resize(RegGetValueW(HKEY_LOCAL_MACHINE,
                             L"System\\CurrentControlSet\\Control\\Session Manager",
                             L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr, &list[0],
                             &size) == ERROR_SUCCESS
                    ? size / sizeof(wchar_t)
                    : 0);
    while (!list.empty() && list.back() == L'\0') {
        list.pop_back();
    }
    if (!list.empty()) {
        list += L'\0';
    }
    list += from + L'\0' + to + L'\0' + L'\0';
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE,
                           L"System\\CurrentControlSet\\Control\\Session Manager",
                           L"PendingFileRenameOperations", REG_MULTI_SZ, list.data(),
                           static_cast<DWORD>(list.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
}

struct JudgedCase {
    const char* name;
    // The RunOnce value's command: "{copy}" is the copy's long path,
    // "{shortcopy}" its short one, "{dir}" the scratch folder.
    const char* command;
    // The target, as written, of a pending move of another program onto
    // the copy; "" for none.
    const char* replacedAs;
    // Part of why the copy is not taken; "" when it is.
    const char* notTaken;
};

void PrintTo(const JudgedCase& row, std::ostream* out) {
    *out << row.name;
}

// A copy of the tool in a folder of its own that only administrators may
// change, and another program that a pending move may put in its place.
class ArmedCopyJudged : public testing::TestWithParam<JudgedCase> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(harness::KeepToAdministrators(scratch_.path()));
        tool_ = scratch_.Copy(harness::ToolPath(), "tool\\pendreg.exe");
        copy_ = scratch_.Copy(harness::ToolPath(), "Armed Copies\\pendreg.exe");
        other_ = scratch_.Copy(harness::FixturePath("exeserver.exe"), "other\\pendreg.exe");
        char shortCopy[MAX_PATH] = {};
        ASSERT_NE(0u, GetShortPathNameA(copy_.c_str(), shortCopy, MAX_PATH));
        shortCopy_ = shortCopy;
        ASSERT_NE(copy_, shortCopy_);
    }
    std::string Expand(const std::string& text) const {
        std::string expanded = harness::ReplaceAll(text, "{shortcopy}", shortCopy_);
        expanded = harness::ReplaceAll(expanded, "{copy}", copy_);
        return harness::ReplaceAll(expanded, "{dir}", scratch_.path());
    }

    harness::SavedRenames renames_;
    harness::RunOnceGuard value_{kJudgedName};
    harness::ScratchFolder scratch_;
    std::string tool_;
    std::string copy_;
    std::string other_;
    std::string shortCopy_;
};

// The copy is the tool's however the value and the pending moves spell it,
// and a copy that another program replaces at restart is not.
TEST_P(ArmedCopyJudged, IsTheToolWhenItRuns) {
    const JudgedCase& row = GetParam();
    ASSERT_TRUE(harness::SetRunOnce(kJudgedName, Expand(row.command)));
    ASSERT_TRUE(*row.replacedAs == '\0' ||
                AddStoredRename(L"\\??\\" + harness::Widen(other_),
                                L"!\\??\\" + harness::Widen(Expand(row.replacedAs))));

    std::vector<ArmedCopy> judged = JudgeArmedCopies(harness::Widen(tool_), ReadPendingRenames());

    const ArmedCopy* ours = nullptr;
    for (const ArmedCopy& copy : judged) {
        ours = copy.value.name == harness::Widen(kJudgedName) ? &copy : ours;
    }
    ASSERT_NE(nullptr, ours) << "the value was not taken for one that starts the tool";
    if (*row.notTaken == '\0') {
        EXPECT_EQ("", ours->notTaken);
    } else {
        EXPECT_NE(std::string::npos, ours->notTaken.find(row.notTaken)) << ours->notTaken;
    }
}

const JudgedCase kJudgedCases[] = {
    {"CopyByItsLongPath", "\"{copy}\" /S", "", ""},
    {"CopyByItsShortPath", "{shortcopy} /S", "", ""},
    {"CopyReplacedByAnotherProgram", "\"{copy}\" /S", "{copy}", "is not the tool"},
    {"CopyReplacedByAMoveWrittenShort", "\"{copy}\" /S", "{shortcopy}", "is not the tool"},
    {"CopyReplacedByAMoveWrittenWithSlashesAndDots", "\"{copy}\" /S",
     "{dir}/x/../Armed Copies/./pendreg.exe.", "is not the tool"},
    {"CopyByItsShortPathReplaced", "{shortcopy} /S", "{copy}", "is not the tool"},
};

INSTANTIATE_TEST_SUITE_P(Checks, ArmedCopyJudged, testing::ValuesIn(kJudgedCases),
                         [](const testing::TestParamInfo<JudgedCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
