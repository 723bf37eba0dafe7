// UTF-8 <-> UTF-16 conversion at the edge between the device's wide texts and host byte strings
// (paths, environment, SQLite). Malformed input becomes U+FFFD; nothing here ever fails.
// The text helpers the engine uses (trim, compare, numbers) are in shared/text.h.
#pragma once

#include <string>
#include <string_view>

namespace platform {

std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

}  // namespace platform
