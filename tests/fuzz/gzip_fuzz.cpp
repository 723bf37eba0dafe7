// gzip bodies come from strangers: whatever the bytes, the decoder answers 0 or -3, never reads
// outside the body or writes outside a buffer of exactly the declared size, and a success
// produces exactly the declared size. A huge declared size is brought down (the trailer's last
// bytes rewritten) so that the blocks are still decoded rather than the input skipped.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "retrieval/gzip.h"
#include "shared/crc32.h"

namespace {

constexpr size_t kLargestOutput = 1u << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nubrel::BuildGzipFixedTables();
  std::unique_ptr<uint8_t[]> body(new uint8_t[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(body.get(), data, size);

  if (nubrel::crc32(body.get(), size) !=
      nubrel::Crc32(body.get(), size, nubrel::kCrc32StandardStart)) {
    __builtin_trap();
  }

  size_t declared = 0;
  int result = nubrel::gzipDecode(nullptr, declared, body.get(), size);
  if (result != 0) {
    if (result != nubrel::kGzipFailed || declared != 0) __builtin_trap();
    return 0;
  }
  if (declared > kLargestOutput) {
    declared %= kLargestOutput;
    for (int i = 0; i < 4; ++i) body[size - 4 + i] = static_cast<uint8_t>(declared >> (8 * i));
    size_t again = 0;
    if (nubrel::gzipDecode(nullptr, again, body.get(), size) != 0 || again != declared) {
      __builtin_trap();
    }
  }
  std::unique_ptr<uint8_t[]> out(new uint8_t[declared == 0 ? 1 : declared]);
  size_t produced = 12345;
  result = nubrel::gzipDecode(out.get(), produced, body.get(), size);
  if (result == 0 && produced != declared) __builtin_trap();
  if (result != 0 && (result != nubrel::kGzipFailed || produced != 0)) __builtin_trap();
  return 0;
}
