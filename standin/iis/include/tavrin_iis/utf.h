// UTF-8 <-> UTF-16 for the host and modules. Malformed input becomes
// U+FFFD rather than failing: texts come from clients and files.
#pragma once

#include <string>
#include <string_view>

namespace tavrin_iis {
std::u16string utf8_to_utf16(std::string_view text);
std::string utf16_to_utf8(std::u16string_view text);
}  // namespace tavrin_iis
