// The platform's delayed-move list is everybody's: taking out the recorder's
// own pairs keeps every other pair, those that another process schedules
// while the list is being rewritten included, or fails and changes nothing.
#include "checks/renames/RestartRenames.h"
#include "checks/text/Findings.h"
#include "harness/Guards.h"
#include "harness/Harness.h"

#include <gtest/gtest.h>

#include <functional>
#include <utility>

namespace {

using harness::Widen;
// A pair as the user writes it: "!" before a target replaced, "" for none.
using Pair = std::pair<std::wstring, std::wstring>;

// The hook is the test's only while the object lives.
class WriteHook {
  public:
    explicit WriteHook(std::function<void()> hook) : hook_(hook) {
        SetRenameListWriteHook([](void* self) { static_cast<WriteHook*>(self)->hook_(); }, this);
    }
    ~WriteHook() {
        SetRenameListWriteHook(nullptr, nullptr);
    }
    WriteHook(const WriteHook&) = delete;
    WriteHook& operator=(const WriteHook&) = delete;

  private:
    std::function<void()> hook_;
};

std::vector<Pair> PlainList() {
    std::vector<Pair> plain;
    for (const StoredRename& pair : ReadStoredRenames()) {
        bool replace = false;
        std::wstring from = StoredRenamePath(pair.from, &replace);
        std::wstring to = StoredRenamePath(pair.to, &replace);
        plain.push_back({from, (replace ? L"!" : L"") + to});
    }
    return plain;
}

std::string Shown(const std::vector<Pair>& list) {
    std::string text;
    for (const Pair& pair : list) {
        text += ReportText(pair.first) + " -> " + ReportText(pair.second) + "\n";
    }
    return text;
}

struct TakeOutCase {
    const char* name;
    // The list's pairs as stored, before ("{dir}": the scratch folder).
    std::vector<std::pair<const char*, const char*>> before;
    // How many times a move of another program onto the target is scheduled
    // between the reading and the writing, once at each try.
    int scheduledMeanwhile;
    bool done;
    // The list afterwards, as the user writes it; "{n}" for the moves
    // scheduled meanwhile, numbered from 1.
    std::vector<std::pair<const char*, const char*>> after;
    size_t taken;
};

void PrintTo(const TakeOutCase& row, std::ostream* out) {
    *out << row.name;
}

class RenameListTakeOut : public testing::TestWithParam<TakeOutCase> {
  protected:
    std::wstring Expand(const std::string& text) const {
        return Widen(harness::ReplaceAll(text, "{dir}", scratch_.path()));
    }
    void WriteList(const std::vector<std::pair<const char*, const char*>>& pairs) const {
        std::wstring list;
        for (const auto& pair : pairs) {
            list += Expand(pair.first) + L'\0' + Expand(pair.second) + L'\0';
        }
        list += L'\0';
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSessionManagerKey,
                                  L"PendingFileRenameOperations", REG_MULTI_SZ, list.data(),
                                  static_cast<DWORD>(list.size() * sizeof(wchar_t))));
    }
    // What "another process" schedules: a replacing move onto the target.
    void ScheduleAnother(int number) const {
        std::wstring other = Expand("{dir}\\other\\late" + std::to_string(number) + ".dll");
        EXPECT_TRUE(MoveFileExW(other.c_str(), Expand("{dir}\\app\\target.dll").c_str(),
                                MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING))
            << "error " << GetLastError();
    }

    harness::SavedRenames renames_;
    harness::ScratchFolder scratch_;
};

TEST_P(RenameListTakeOut, KeepsEveryPairButThoseTaken) {
    const TakeOutCase& row = GetParam();
    WriteList(row.before);
    int scheduled = 0;
    WriteHook hook([&] {
        if (scheduled < row.scheduledMeanwhile) {
            ScheduleAnother(++scheduled);
        }
    });
    // The recorder's own: a staged copy moved onto the target.
    std::wstring own = Expand("{dir}\\app\\new");
    std::vector<StoredRename> taken;
    std::string error;

    auto ours = [](const StoredRename& pair, const void* prefix) {
        const std::wstring& own = *static_cast<const std::wstring*>(prefix);
        bool replace = false;
        return StoredRenamePath(pair.from, &replace).compare(0, own.size(), own) == 0;
    };

    bool done = TakeOutStoredRenames(ours, &own, &taken, &error);

    EXPECT_EQ(row.done, done) << error;
    EXPECT_EQ(row.done, error.empty()) << error;
    EXPECT_EQ(row.taken, taken.size());
    std::vector<Pair> expected;
    for (const auto& pair : row.after) {
        std::string from = pair.first;
        if (from.find("{n}") != std::string::npos) {
            for (int number = 1; number <= scheduled; ++number) {
                expected.push_back(
                    {Expand(harness::ReplaceAll(from, "{n}", std::to_string(number))),
                     Expand(pair.second)});
            }
        } else {
            expected.push_back({Expand(from), Expand(pair.second)});
        }
    }
    std::vector<Pair> after = PlainList();
    EXPECT_EQ(expected, after) << "expected:\n" << Shown(expected) << "found:\n" << Shown(after);
}

const TakeOutCase kTakeOutCases[] = {
    {"OwnMoveTakenOthersKept",
     {{"\\??\\{dir}\\app\\new1A2B.tmp", "!\\??\\{dir}\\app\\target.dll"},
      {"\\??\\{dir}\\other\\x.dll", "!\\??\\{dir}\\app\\target.dll"},
      {"\\??\\{dir}\\gone.dll", ""}},
     0,
     true,
     {{"{dir}\\other\\x.dll", "!{dir}\\app\\target.dll"}, {"{dir}\\gone.dll", ""}},
     1},
    {"MoveOntoTheTargetScheduledBetweenTheReadAndTheWriteKept",
     {{"\\??\\{dir}\\app\\new1A2B.tmp", "!\\??\\{dir}\\app\\target.dll"},
      {"\\??\\{dir}\\other\\x.dll", "!\\??\\{dir}\\app\\target.dll"}},
     1,
     true,
     {{"{dir}\\other\\x.dll", "!{dir}\\app\\target.dll"},
      {"{dir}\\other\\late{n}.dll", "!{dir}\\app\\target.dll"}},
     1},
    {"LastPairTakenTheListGoes",
     {{"\\??\\{dir}\\app\\new1A2B.tmp", "!\\??\\{dir}\\app\\target.dll"}},
     0,
     true,
     {},
     1},
    {"NothingOfItsOwnNothingWritten",
     {{"\\??\\{dir}\\other\\x.dll", "!\\??\\{dir}\\app\\target.dll"}},
     1,
     true,
     {{"{dir}\\other\\x.dll", "!{dir}\\app\\target.dll"}},
     0},
    // Each try finds the list changed once more: it gives up, and every
    // pair stays, its own too.
    {"ListChangedAtEveryTryFailsAndLosesNothing",
     {{"\\??\\{dir}\\app\\new1A2B.tmp", "!\\??\\{dir}\\app\\target.dll"}},
     1000,
     false,
     {{"{dir}\\app\\new1A2B.tmp", "!{dir}\\app\\target.dll"},
      {"{dir}\\other\\late{n}.dll", "!{dir}\\app\\target.dll"}},
     0},
};

INSTANTIATE_TEST_SUITE_P(Checks, RenameListTakeOut, testing::ValuesIn(kTakeOutCases),
                         [](const testing::TestParamInfo<TakeOutCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
