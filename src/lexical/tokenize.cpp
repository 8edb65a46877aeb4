#include "lexical/tokenize.hpp"

#include "text/unicode.hpp"

namespace lvx::lexical {

void tokenize(std::string_view text, std::string& buffer, std::vector<std::string_view>& tokens) {
    buffer.clear();
    buffer.reserve(text.size());
    text::append_lower(buffer, text);
    text::split_white_space(buffer, [&](std::string_view piece) { tokens.push_back(piece); });
}

std::vector<std::string> tokenize(std::string_view text) {
    std::string buffer;
    std::vector<std::string_view> views;
    tokenize(text, buffer, views);
    return {views.begin(), views.end()};
}

}  // namespace lvx::lexical
