// The entity decoders, the JSON string decoder, the declared-encoding sniff and the Expat parser
// hookup (with its byte maps for unknown charsets) on any bytes: no read outside the input, output
// never longer than the input, counting agrees with writing, and decoding in place agrees with
// decoding into a copy. The first byte picks the collapsing and the default code page.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "feeds/encodings.h"
#include "platform/utf.h"

namespace {

constexpr int32_t kDefaults[] = {65001, 1251, 932, 1255, 28605, 1252, 936, 949, -1, 0};

void XMLCALL OnText(void* data, const XML_Char*, int len) { *static_cast<size_t*>(data) += len; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 65536) return 0;
  const uint8_t selector = data[0];
  const bool collapse = (selector & 1) != 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  // Bytes as the sniff and Expat see them, in a block of exactly their size.
  std::unique_ptr<char[]> exactBytes(new char[bytes.size() + 1]);
  std::memcpy(exactBytes.get(), bytes.data(), bytes.size());
  const std::string_view document(exactBytes.get(), bytes.size());
  const int32_t declared = nubrel::declaredCodePage(document);
  if (declared != nubrel::kNoCodePage && nubrel::nameOfCodePage(declared) == nullptr) {
    __builtin_trap();  // the sniff only answers code pages of the table
  }
  const int32_t codePage =
      nubrel::documentCodePage(document, kDefaults[(selector >> 1) % std::size(kDefaults)]);
  if (nubrel::ExpatParser parser = nubrel::CreateExpatParserFor(codePage)) {
    size_t characters = 0;
    XML_SetUserData(parser.get(), &characters);
    XML_SetCharacterDataHandler(parser.get(), OnText);
    XML_Parse(parser.get(), document.data(), static_cast<int>(document.size()), XML_TRUE);
  }

  // The same bytes as text, as the feed parser hands titles to the decoders.
  const std::u16string text = platform::FromUtf8(bytes);
  const size_t n = text.size();
  std::unique_ptr<char16_t[]> exact(new char16_t[n + 1]);
  std::memcpy(exact.get(), text.data(), n * sizeof(char16_t));

  size_t length = 0;
  const char32_t first = nubrel::decodeReference(std::u16string_view(exact.get(), n), length);
  if (first != 0 && (length == 0 || length > n || first > 0x10FFFF)) __builtin_trap();

  const size_t counted = nubrel::decodeEntities(exact.get(), n, collapse, nullptr);
  const std::u16string copied =
      nubrel::decodeEntities(std::u16string_view(exact.get(), n), collapse);
  if (counted != copied.size() + 1 || copied.size() > n) __builtin_trap();
  const size_t written = nubrel::decodeEntities(exact.get(), n, collapse, exact.get());
  if (written != counted || std::u16string_view(exact.get(), written - 1) != copied) {
    __builtin_trap();
  }

  const std::u16string json = nubrel::decodeJsonString(text);
  if (json.size() > n) __builtin_trap();
  return 0;
}
