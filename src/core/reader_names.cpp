// PC/SC reader lists.
#include "core/reader_names.h"

#include <algorithm>

namespace qv {

std::vector<std::string> SplitReaderNames(std::string_view list) {
    std::vector<std::string> names;
    while (!list.empty() && list.front() != '\0') {
        const std::string_view name = list.substr(0, list.find('\0'));
        names.emplace_back(name);
        list.remove_prefix(std::min(list.size(), name.size() + 1));
    }
    return names;
}

} // namespace qv
