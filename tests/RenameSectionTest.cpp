// The editing of the rename section, on bytes held in memory: a table of the
// cases that matter, and a differential test against a reference model
// written here without looking at the tool's code.
#include "restart/RenameSection.h"

#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

const std::string kHeader = "[Rename]\r\n";
const std::string kLine = "NUL=C:\\TEMP\\PENDREG.EXE\r\n";
// What the room beyond text[size] holds before the edit: not zero, so that a
// stray write of a terminator shows as well as any other.
const char kRoomFill = '\xA5';
const char kGuard = '\x5A';
const size_t kGuardBytes = 16;
// The room AddRenameLine is promised besides the line: a line break that ends
// the last line, then the header.
const size_t kRoomBesidesLine = 12;

// The buffer AddRenameLine is given: the file, its terminator, exactly the
// room the contract promises, then guard bytes.
std::vector<char> MakeBuffer(const std::string& file, size_t lineLength) {
    std::vector<char> buffer(file.begin(), file.end());
    buffer.push_back('\0');
    buffer.resize(file.size() + kRoomBesidesLine + lineLength, kRoomFill);
    buffer.resize(buffer.size() + kGuardBytes, kGuard);
    return buffer;
}

// What the whole buffer must hold after an edit whose result is expected:
// the result, the unused room as it was, and the guard bytes untouched.
std::vector<char> ExpectedBuffer(const std::string& file, const std::string& expected,
                                 size_t lineLength) {
    std::vector<char> before = MakeBuffer(file, lineLength);
    std::vector<char> after(expected.begin(), expected.end());
    after.insert(after.end(), before.begin() + static_cast<std::ptrdiff_t>(expected.size()),
                 before.end());
    return after;
}

// Runs AddRenameLine on file and checks the whole buffer and the new length.
void ExpectEdit(const std::string& file, const std::string& line, const std::string& expected) {
    std::vector<char> buffer = MakeBuffer(file, line.size());
    DWORD length = AddRenameLine(buffer.data(), static_cast<DWORD>(file.size()), line.data(),
                                 static_cast<DWORD>(line.size()));
    ASSERT_EQ(expected.size(), length);
    ASSERT_EQ(ExpectedBuffer(file, expected, line.size()), buffer);
}

// Shows control characters, so that a failing row says which bytes differ.
std::string Visible(const std::string& text) {
    std::string shown;
    for (char c : text) {
        if (c == '\r') {
            shown += "\\r";
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\0') {
            shown += "\\0";
        } else {
            shown += c;
        }
    }
    return shown;
}

struct EditRow {
    const char* name;
    std::string file;
    // Where FindNoCase finds "[Rename]\r\n" in the file, or -1: its first
    // match anywhere, which is the section's header only at a line start.
    int headerAt;
    std::string expected;
    // The ANSI code page the row needs, or 0 for any. The tool walks the text
    // by characters of that code page.
    UINT codePage = 0;
};

// A failing row is named, not dumped as bytes.
void PrintTo(const EditRow& row, std::ostream* out) {
    *out << row.name;
}

class RenameSectionTable : public testing::TestWithParam<EditRow> {};

// FindNoCase is checked where the editing uses it, on the same files: it
// finds the first match, and leaves the haystack as it found it.
TEST_P(RenameSectionTable, AddsTheLineInPlace) {
    const EditRow& row = GetParam();
    if (row.codePage != 0 && GetACP() != row.codePage) {
        GTEST_SKIP() << "needs ANSI code page " << row.codePage << ", not " << GetACP();
    }
    std::vector<char> haystack = MakeBuffer(row.file, kLine.size());
    const std::vector<char> untouched = haystack;
    char* found = FindNoCase(haystack.data(), kHeader.c_str());
    EXPECT_EQ(row.headerAt, found == nullptr ? -1 : static_cast<int>(found - haystack.data()));
    EXPECT_EQ(untouched, haystack);

    ExpectEdit(row.file, kLine, row.expected);
}

const std::string kLongRest = "[Boot]\r\n" + std::string(200, 'x') + "=1\r\n";

INSTANTIATE_TEST_SUITE_P(
    RenameSection, RenameSectionTable,
    testing::Values(
        EditRow{"missing_file_gets_header_and_line", "", -1, kHeader + kLine},
        EditRow{"no_section_and_no_final_line_break_ends_the_last_line_first", "[Boot]\r\na=1", -1,
                "[Boot]\r\na=1\r\n" + kHeader + kLine},
        EditRow{"section_last_and_no_final_line_break_ends_the_last_line_first",
                "[Boot]\r\na=1\r\n[Rename]\r\nNUL=A", 13,
                "[Boot]\r\na=1\r\n[Rename]\r\nNUL=A\r\n" + kLine},
        EditRow{"file_ending_in_cr_alone_gets_a_whole_line_break", "[Rename]\r\nNUL=A\r", 0,
                "[Rename]\r\nNUL=A\r\r\n" + kLine},
        // A header line that the file ends without a line break still counts.
        EditRow{"header_without_line_break_as_the_last_bytes", "[Boot]\r\n[rename]", -1,
                "[Boot]\r\n[rename]\r\n" + kLine},
        EditRow{"section_last_appends_at_end", "[Boot]\r\na=1\r\n[Rename]\r\nNUL=A\r\n", 13,
                "[Boot]\r\na=1\r\n[Rename]\r\nNUL=A\r\n" + kLine},
        EditRow{"header_as_the_last_bytes", "[Boot]\r\n[Rename]\r\n", 8,
                "[Boot]\r\n[Rename]\r\n" + kLine},
        EditRow{"section_followed_by_longer_rest", "[Rename]\r\nNUL=A\r\n" + kLongRest, 0,
                "[Rename]\r\nNUL=A\r\n" + kLine + kLongRest},
        EditRow{"section_followed_by_shorter_rest", "[Rename]\r\nNUL=A\r\n[Z]", 0,
                "[Rename]\r\nNUL=A\r\n" + kLine + "[Z]"},
        EditRow{"empty_section_directly_followed_by_header", "[Rename]\r\n[Boot]\r\na=1\r\n", 0,
                "[Rename]\r\n" + kLine + "[Boot]\r\na=1\r\n"},
        EditRow{"header_in_capitals_is_found", "[RENAME]\r\nNUL=A\r\n[Boot]\r\n", 0,
                "[RENAME]\r\nNUL=A\r\n" + kLine + "[Boot]\r\n"},
        EditRow{"header_ended_by_lf_alone_is_found", "[Rename]\nNUL=A\n[Boot]\n", -1,
                "[Rename]\nNUL=A\n" + kLine + "[Boot]\n"},
        EditRow{"header_ended_by_lf_alone_as_the_last_section", "[Boot]\na=1\n[RENAME]\nNUL=A\n",
                -1, "[Boot]\na=1\n[RENAME]\nNUL=A\n" + kLine},
        EditRow{"nul_byte_hides_later_header", "a=1\r\n\0[Rename]\r\nNUL=A\r\n"s, -1,
                "a=1\r\n\0[Rename]\r\nNUL=A\r\n"s + kHeader + kLine},
        EditRow{"nul_byte_hides_next_section", "[Rename]\r\nNUL=A\r\n\0[Boot]\r\n"s, 0,
                "[Rename]\r\nNUL=A\r\n\0[Boot]\r\n"s + kLine},
        EditRow{"bracket_inside_a_line_does_not_end_the_section", "[Rename]\r\nNUL=C:\\[X]\r\n", 0,
                "[Rename]\r\nNUL=C:\\[X]\r\n" + kLine},
        EditRow{"name_inside_a_value_before_the_header_is_passed_by",
                "[Boot]\r\nb=[Rename]\r\nx\r\n[rename]\r\n", 10,
                "[Boot]\r\nb=[Rename]\r\nx\r\n[rename]\r\n" + kLine},
        EditRow{"name_inside_a_value_is_no_header", "[Boot]\r\nnote=see [Rename]\r\n", 17,
                "[Boot]\r\nnote=see [Rename]\r\n" + kHeader + kLine},
        EditRow{"name_with_more_on_its_line_is_no_header",
                "[Rename] x\r\na=[Rename]\r\n[Rename]\r\nNUL=A\r\n[Boot]\r\n", 14,
                "[Rename] x\r\na=[Rename]\r\n[Rename]\r\nNUL=A\r\n" + kLine + "[Boot]\r\n"},
        EditRow{"first_of_two_sections_gets_the_line", "[Rename]\r\nNUL=A\r\n[rename]\r\nNUL=B\r\n",
                0, "[Rename]\r\nNUL=A\r\n" + kLine + "[rename]\r\nNUL=B\r\n"},
        EditRow{"section_ended_by_lf_alone_before_next_header", "[Rename]\r\nNUL=A\n[Boot]\n", 0,
                "[Rename]\r\nNUL=A\n" + kLine + "[Boot]\n"},
        // Shift-JIS: "\x83[" is one character whose second byte is "[": no
        // header starts inside it. "\x83\\" is one whose second byte is "\\".
        EditRow{"trail_byte_bracket_starts_no_header_Cp932",
                "[Boot]\r\nshell=\x83[Rename]\r\n[386Enh]\r\n", -1,
                "[Boot]\r\nshell=\x83[Rename]\r\n[386Enh]\r\n" + kHeader + kLine, 932},
        EditRow{"header_after_trail_byte_bracket_is_found_Cp932",
                "x=\x83[Rename]\r\n[Rename]\r\nNUL=C:\\\x83\\\r\n[Boot]\r\n", 13,
                "x=\x83[Rename]\r\n[Rename]\r\nNUL=C:\\\x83\\\r\n" + kLine + "[Boot]\r\n", 932},
        // The same with a header ended by LF alone and a file that ends on a
        // double-byte character: its second byte is no line break.
        EditRow{"header_ended_by_lf_alone_after_trail_byte_bracket_Cp932",
                "x=\x83[Rename]\r\n[Rename]\nNUL=C:\\\x83\\", -1,
                "x=\x83[Rename]\r\n[Rename]\nNUL=C:\\\x83\\\r\n" + kLine, 932},
        EditRow{"no_section_and_file_ending_in_trail_byte_bracket_Cp932",
                "[Boot]\r\nshell=\x83[Rename]", -1,
                "[Boot]\r\nshell=\x83[Rename]\r\n" + kHeader + kLine, 932}),
    [](const testing::TestParamInfo<EditRow>& info) { return std::string(info.param.name); });

// The reference model, written from the file format alone, line by line.
// The searches see the text up to its first NUL byte. Header and section ends
// are compared by plain ASCII case folding. Under Wine (code page 1252, US
// English) lstrcmpiA agreed with that on every two-byte string against "\n[",
// on every change of up to two bytes of the header, and of "[Rename]" and
// "\n[Rename]", drawn from the generator's alphabet, and on every pair of
// strings of up to three bytes over CR, LF, brackets, letters, '=', digits
// and space. It does not agree above 0x7F: it ignores the soft hyphen (0xAD)
// and folds accented letters and some symbols. The generator therefore stays
// below 0x80.

// The text as the searches see it: up to its first NUL byte, lower-cased.
std::string VisibleText(const std::string& file) {
    std::string visible = file.substr(0, file.find('\0'));
    for (char& c : visible) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return visible;
}

// Where the header of the rename section starts: the first line that is
// "[rename]", ended by LF, CR LF or the end of the file. npos when there is
// none.
size_t ReferenceHeader(const std::string& visible, size_t fileSize) {
    for (size_t start = 0; start < visible.size();) {
        if (visible.compare(start, 8, "[rename]") == 0) {
            size_t end = start + 8;
            if (end < visible.size() && visible[end] == '\r') {
                ++end;
            }
            if (end == fileSize || (end < visible.size() && visible[end] == '\n')) {
                return start;
            }
        }
        size_t lineFeed = visible.find('\n', start);
        if (lineFeed == std::string::npos) {
            break;
        }
        start = lineFeed + 1;
    }
    return std::string::npos;
}

std::string ReferenceEdit(const std::string& file, const std::string& line) {
    std::string visible = VisibleText(file);
    size_t header = ReferenceHeader(visible, file.size());
    if (header != std::string::npos) {
        size_t sectionEnd = visible.find("\n[", header + 8);
        if (sectionEnd != std::string::npos) {
            std::string edited = file;
            edited.insert(sectionEnd + 1, line);
            return edited;
        }
    }
    // Appended text starts a line of its own.
    std::string edited = file;
    if (!file.empty() && file.back() != '\n') {
        edited += "\r\n";
    }
    if (header == std::string::npos) {
        edited += kHeader;
    }
    return edited + line;
}

// Random initialisation files made of the pieces that decide where the line
// goes: near-miss header spellings, every kind of line end, stray brackets,
// NUL bytes, and text of random length between them.
class FileGenerator {
  public:
    explicit FileGenerator(unsigned seed) : random_(seed) {}

    std::string File() {
        std::string file;
        int pieces = Below(12);
        for (int piece = 0; piece < pieces; ++piece) {
            file += Piece();
        }
        return file;
    }

    std::string Line() {
        return "NUL=" + Text(1 + Below(Chance(10) ? 300 : 40)) + "\r\n";
    }

  private:
    int Below(int bound) {
        return std::uniform_int_distribution<int>(0, bound - 1)(random_);
    }
    bool Chance(int oneIn) {
        return Below(oneIn) == 0;
    }
    template <size_t N> const char* Pick(const char* const (&choices)[N]) {
        return choices[Below(static_cast<int>(N))];
    }

    std::string Text(int length) {
        static const char alphabet[] = "abcXYZrenameRENAME0189=  .\\[]";
        std::string text;
        for (int index = 0; index < length; ++index) {
            text += alphabet[Below(sizeof(alphabet) - 1)];
        }
        return text;
    }

    std::string LineEnd() {
        static const char* const ends[] = {"\r\n", "\r\n", "\r\n", "\n", "\r", "\n\r", ""};
        return Pick(ends);
    }

    std::string Piece() {
        static const char* const names[] = {"Rename", "RENAME",  "rename",  "rEnAmE",
                                            "Renam",  "Renames", " Rename", "Boot",
                                            "386Enh", "R",       ""};
        switch (Below(7)) {
        case 0:
        case 1:
            return "[" + std::string(Pick(names)) + "]" + LineEnd();
        case 2:
            // A header whose bytes run up to the end of the text.
            return Chance(2) ? "[Rename]\r" : "\n";
        case 3:
            return Chance(3) ? "\0"s : "["s;
        default:
            return Text(Below(Chance(8) ? 400 : 30)) + LineEnd();
        }
    }

    std::mt19937 random_;
};

// A few thousand generated files, edited by AddRenameLine and by the model:
// equal byte for byte, the unused room and the guard bytes untouched.
TEST(RenameSection, AgreesWithReferenceModelOnGeneratedFiles) {
    FileGenerator generator(20240611u);
    int sectionsFound = 0;
    int inserts = 0;
    int lineBreaksAdded = 0;
    int namesPassedBy = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string file = generator.File();
        std::string line = generator.Line();
        std::string expected = ReferenceEdit(file, line);
        std::string visible = VisibleText(file);
        size_t header = ReferenceHeader(visible, file.size());
        bool appended = expected.compare(0, file.size(), file) == 0;
        sectionsFound += header != std::string::npos ? 1 : 0;
        inserts += appended ? 0 : 1;
        lineBreaksAdded += appended && !file.empty() && file.back() != '\n' ? 1 : 0;
        // The first "[Rename]" that a search meets is not the header.
        namesPassedBy += visible.find("[rename]") != header ? 1 : 0;
        SCOPED_TRACE("round " + std::to_string(round) + ": file \"" + Visible(file) +
                     "\", line \"" + Visible(line) + "\"");
        ExpectEdit(file, line, expected);
        if (HasFatalFailure()) {
            return;
        }
    }
    // The generator must reach every branch often, or the agreement proves
    // little.
    EXPECT_GT(sectionsFound, 300);
    EXPECT_GT(inserts, 300);
    EXPECT_GT(lineBreaksAdded, 300);
    EXPECT_GT(namesPassedBy, 300);
}

} // namespace
