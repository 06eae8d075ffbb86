#pragma once
// A JSON document written as it goes, for the companions' reports that
// programs read: no tree is built, the text grows in one string. Strings are
// given in the ANSI code page, as the reports hold them, and written with
// every character that is not ASCII as \uXXXX, so the document is ASCII
// whatever the code page.
#include "checks/text/Catalogue.h"

#include <stdint.h>

#include <string>

// The version of the companions' documents: raised when a field changes its
// meaning or goes, not when one is added.
const unsigned kJsonReportFormat = 1;

class JsonWriter {
  public:
    // '{' or '[', and its closing brace.
    void Open(char brace);
    void Close(char brace);
    // The name of the next member of an object.
    void Key(const char* name);
    void String(const std::string& text);
    void Number(uint64_t number);
    void Signed(long long number);
    void Bool(bool value);
    void Null();
    // A value, or the members or elements of one, written by another writer;
    // nothing when empty.
    void Raw(const std::string& json);
    // A member holding an array whose elements another writer wrote.
    void Array(const char* name, const JsonWriter& elements);
    // A member holding the text, or null when it is empty.
    void StringOrNull(const char* name, const std::string& text);
    const std::string& text() const {
        return text_;
    }

  private:
    void BeforeValue();

    std::string text_;
    // Whether the next value or member is the first of its container.
    bool first_ = true;
    bool afterKey_ = false;
};

// A finding as an object: its code, outcome, paths, numbers and message.
void WriteFinding(JsonWriter& json, const Finding& finding);
