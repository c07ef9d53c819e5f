// Text helpers of the stand-ins: UTF-16 to UTF-8, JSON string escaping of
// arbitrary bytes, ASCII case folding.
#ifndef WINSTANDIN_TEXT_H
#define WINSTANDIN_TEXT_H

#include <optional>
#include <string>
#include <string_view>

namespace winstandin {

// NUL-terminated UTF-16 to UTF-8; nullopt for an unpaired surrogate, which
// has no UTF-8 form.
std::optional<std::string> utf16_to_utf8(const char16_t* text);

// Appends `bytes` as a JSON string with its quotes. Valid UTF-8 passes
// through; control characters are escaped; every byte that is not part of a
// valid UTF-8 sequence becomes the character of the same value (as Latin-1
// reads it), so the line stays valid JSON and keeps every byte visible.
void append_json_string(std::string& out, std::string_view bytes);

bool ascii_iequals(std::string_view a, std::string_view b);

}  // namespace winstandin

#endif
