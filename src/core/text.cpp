// Small text chores.
#include "core/text.h"

namespace qv {

std::vector<std::string_view> SplitAt(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    while (!text.empty()) {
        const std::size_t end = text.find(separator);
        pieces.push_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return pieces;
}

} // namespace qv
