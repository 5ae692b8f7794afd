#pragma once

// The tokens the record tests put into a document at every place to break it,
// so that the tests of the record readers break documents alike.

#include <string>
#include <vector>

namespace zdz::test {

// Stray brackets and commas, then `more_punctuation`; numbers JSON refuses
// or that overflow, a string and a null where other kinds stand, an open
// array; members no record knows and members a record already has; then
// `more`.
inline std::vector<std::string> tokens_put_in(const std::vector<std::string>& more_punctuation = {},
                                              const std::vector<std::string>& more = {}) {
    std::vector<std::string> tokens = {"[", "{", "]", "}", ","};
    tokens.insert(tokens.end(), more_punctuation.begin(), more_punctuation.end());
    tokens.insert(tokens.end(),
                  {"0", "01", "-0", "1e400", "\"x\"", "null", "[[", "\"zzz\":1,",
                   "\"format_version\":1,", "\"platform\":\"vask\",", "\"history\":[],"});
    tokens.insert(tokens.end(), more.begin(), more.end());
    return tokens;
}

}  // namespace zdz::test
