// How a channel's password is kept inside the subscription list: TEA-enciphered UTF-16LE in
// zero-padded 16-byte steps, written as upper-case hexadecimal. Owns the list's key and the
// padding; the cipher itself is shared/tea_cipher.h, and the proxy password in the registry
// uses its own key (core/settings).
#pragma once

#include <string>
#include <string_view>

#include "shared/tea_cipher.h"

namespace nubrel {

// The fixed key of passwords in subscription lists. Lists written with one key cannot be read
// with another, so this never changes.
extern const TeaKey kPasswordListKey;

// The password as UTF-16LE padded with zero bytes to ((n + 8) & ~7) characters, enciphered block
// by block, two upper-case hex digits per byte: 4 * ((n + 8) & ~7) digits. An empty password
// gives 32 digits.
std::u16string ScramblePassword(std::u16string_view password);

// The reverse. Reads digit pairs (0-9 and upper-case A-F only) up to the first other character;
// when there are at least 8 bytes, every whole 8-byte block is deciphered; the bytes are then read
// as UTF-16LE with the last character forced to zero, and the text ends at its first zero.
std::u16string UnscramblePassword(std::u16string_view hex);

}  // namespace nubrel
