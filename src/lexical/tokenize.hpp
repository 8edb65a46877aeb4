// The white-space tokenizer shared by index construction and query scoring.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lvx::lexical {

// Lower-cases text (full Unicode mapping) into `buffer` and appends to
// `tokens` views into `buffer` of every white-space separated piece, in text
// order. The views stay valid until `buffer` is next modified.
void tokenize(std::string_view text, std::string& buffer, std::vector<std::string_view>& tokens);

// Convenience form returning owned tokens.
std::vector<std::string> tokenize(std::string_view text);

}  // namespace lvx::lexical
