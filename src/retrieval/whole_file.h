// Writing a received body to a file in one call (the ".log" copy of a document that failed to
// parse, bodies saved by tools). The safe write itself is BufferedFileWriter's.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/files.h"

namespace nubrel {

// Creates or replaces the file at `path` (a device path; missing folders are made) with exactly
// `length` bytes. The new content replaces the old only when all of it was written: on failure
// the previous file is left whole and false is returned, with the device error in *error when
// given (0 on success). bytes may be null only when length is 0.
bool writeWholeFile(std::u16string_view path, const void* bytes, size_t length,
                    platform::DeviceError* error = nullptr);

}  // namespace nubrel
