#pragma once

// Taking apart the values of options (fault plans, ADC inputs).

#include <string_view>
#include <vector>

namespace vboard {

// The pieces of `text` between each `separator`: n separators give n + 1
// pieces, empty ones included.
inline std::vector<std::string_view> split(std::string_view text, std::string_view separator)
{
    std::vector<std::string_view> parts;
    for (;;) {
        const auto at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) {
            return parts;
        }
        text.remove_prefix(at + separator.size());
    }
}

} // namespace vboard
