// The device's one rule for names compared without regard to case: file and folder names,
// registry keys and values, named mutexes, window classes. Fixed, not the host locale's, so that
// every process (and every stored registry name) agrees whatever locale it runs under.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Simple case folding of one UTF-16 unit: ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic
// capitals become their small letters; every other unit is returned unchanged.
char16_t FoldCase(char16_t c);
std::u16string FoldCase(std::u16string_view text);

// Whether two names are the same name on the device.
bool SameDeviceName(std::u16string_view a, std::u16string_view b);

}  // namespace platform
