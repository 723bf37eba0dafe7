// Feeds name their own encodings, so any bytes reach the code page conversions: they must never
// read outside the input, and what they decode must encode again without failing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/code_pages.h"

namespace {

constexpr uint32_t kCodePages[] = {65001, 932, 936, 949, 950, 874, 1250, 1251, 1252, 1253,
                                   1254, 1255, 1256, 1257, 1258, 20866, 28591, 28592, 28595,
                                   28597, 28599, 28603, 28605};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint32_t codePage = kCodePages[data[0] % (sizeof kCodePages / sizeof kCodePages[0])];
  std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  std::u16string wide;
  platform::MultiByteToWide(codePage, bytes, wide, false);
  if (wide.size() > bytes.size()) __builtin_trap();  // at most one unit per byte
  std::u16string strict;
  if (platform::MultiByteToWide(codePage, bytes, strict, true) == 0 && strict != wide) __builtin_trap();
  std::string back;
  if (platform::WideToMultiByte(codePage, wide, back) != 0) __builtin_trap();
  return 0;
}
