#pragma once
// jq, the Unix side's JSON processor, as the tests' real parser of the
// companions' JSON documents: under Wine a Windows program can start a Unix
// program, which the rows use to read what the companions wrote.
#include <string>
#include <vector>

namespace harness {

// Whether jq can be run: under Wine, with /usr/bin/jq there.
bool JqAvailable();

// Runs "jq -r" with the filter on the file and returns what it printed, one
// line each, in the ANSI code page. False, with jq's messages in *error, when
// the document does not parse, the filter fails or jq did not end in 30 s.
bool RunJq(const std::string& filter, const std::string& file, std::vector<std::string>* lines,
           std::string* error);

} // namespace harness
