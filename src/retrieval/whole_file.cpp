// writeWholeFile over the shared BufferedFileWriter (see whole_file.h).
#include "retrieval/whole_file.h"

#include "shared/buffered_file_writer.h"

namespace nubrel {

bool writeWholeFile(std::u16string_view path, const void* bytes, size_t length,
                    platform::DeviceError* error) {
  BufferedFileWriter writer;
  platform::DeviceError result = writer.Open(path);
  if (result == 0) {
    if (length > 0 && bytes == nullptr) {
      writer.Discard();
      result = platform::kErrorInvalidParameter;
    } else {
      writer.WriteBytes(bytes, length);
      // Close reports the first failure since Open, the write's included.
      result = writer.Close();
    }
  }
  if (error) *error = result;
  return result == 0;
}

}  // namespace nubrel
