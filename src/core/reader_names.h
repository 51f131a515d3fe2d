// PC/SC reader lists: the multi-string SCardListReaders fills, as names.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qv {

// The names of a PC/SC multi-string, up to the empty name that ends it or the end of what was
// received, however many and however long they are.
std::vector<std::string> SplitReaderNames(std::string_view list);

} // namespace qv
