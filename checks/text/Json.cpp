#include "checks/text/Json.h"

#include "checks/text/Findings.h"

void JsonWriter::BeforeValue() {
    if (!first_ && !afterKey_) {
        text_ += ',';
    }
    first_ = false;
    afterKey_ = false;
}

void JsonWriter::Open(char brace) {
    BeforeValue();
    text_ += brace;
    first_ = true;
}

void JsonWriter::Close(char brace) {
    text_ += brace;
    first_ = false;
}

void JsonWriter::Key(const char* name) {
    BeforeValue();
    text_ += '"';
    text_ += name;
    text_ += "\":";
    afterKey_ = true;
}

static void AppendEscaped(std::string& text, wchar_t unit) {
    static const char kDigits[] = "0123456789abcdef";
    switch (unit) {
    case L'"':
        text += "\\\"";
        return;
    case L'\\':
        text += "\\\\";
        return;
    case L'\n':
        text += "\\n";
        return;
    case L'\r':
        text += "\\r";
        return;
    case L'\t':
        text += "\\t";
        return;
    default:
        break;
    }
    if (unit >= 0x20 && unit < 0x7F) {
        text += static_cast<char>(unit);
        return;
    }
    // Control characters, DEL and everything beyond ASCII, a UTF-16 unit at a
    // time: a pair of surrogates stays a pair, as JSON writes them.
    text += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) {
        text += kDigits[(unit >> shift) & 0xF];
    }
}

void JsonWriter::String(const std::string& text) {
    BeforeValue();
    text_ += '"';
    for (wchar_t unit : AnsiToWide(text.c_str())) {
        AppendEscaped(text_, unit);
    }
    text_ += '"';
}

void JsonWriter::Number(uint64_t number) {
    BeforeValue();
    text_ += std::to_string(number);
}

void JsonWriter::Signed(long long number) {
    BeforeValue();
    text_ += std::to_string(number);
}

void JsonWriter::Bool(bool value) {
    BeforeValue();
    text_ += value ? "true" : "false";
}

void JsonWriter::Null() {
    BeforeValue();
    text_ += "null";
}

void JsonWriter::Raw(const std::string& json) {
    if (json.empty()) {
        return;
    }
    BeforeValue();
    text_ += json;
}

void JsonWriter::Array(const char* name, const JsonWriter& elements) {
    Key(name);
    Open('[');
    Raw(elements.text());
    Close(']');
}

void JsonWriter::StringOrNull(const char* name, const std::string& text) {
    Key(name);
    if (text.empty()) {
        Null();
    } else {
        String(text);
    }
}

void WriteFinding(JsonWriter& json, const Finding& finding) {
    json.Open('{');
    json.Key("code");
    json.String(CodeName(finding.code));
    json.Key("outcome");
    json.String(OutcomeName(finding.outcome));
    json.Key("paths");
    json.Open('[');
    for (const FindingArgument& argument : finding.arguments) {
        if (argument.kind == ArgumentKind::Path || argument.kind == ArgumentKind::About) {
            json.String(argument.text);
        }
    }
    json.Close(']');
    json.Key("numbers");
    json.Open('[');
    for (const FindingArgument& argument : finding.arguments) {
        if (argument.kind == ArgumentKind::Number) {
            json.Number(argument.number);
        }
    }
    json.Close(']');
    json.Key("message");
    json.String(FindingText(finding));
    json.Close('}');
}
