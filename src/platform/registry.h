// The device's registry: keys and typed values under three roots, kept in one SQLite database
// ("<DevicePrivateFolder()>/registry.db") that the reader, the updater and the installer share.
// Also answers what the host knows itself: MIME associations under the classes root (from the
// host's mime.types) and the cradle state. Reading settings into records is the callers' job.
//
// Names of keys and values are compared without regard to case and keep the case they were first
// written with; the default value of a key has the empty name. Subkey paths use backslashes
// ("Software\nubrel"); an empty path means the key itself.
//
// Host answers (never stored, read-only, listed by no enumeration of their parent):
//   classes root "MIME\Database\Content Type\<type>"   value "Extension" = ".<first extension>"
//   classes root ".<ext>"                              default = "<ext>_auto_file"
//   classes root "<ext>_auto_file\Shell\Open\Command"  default = xdg-open "%1"
//   (and the keys on the way to them). A stored key of the same path hides the host's answer.
//   local machine "System\State\Hardware"              value "Cradled" (DWORD), read live from the
//   power supplies (a "Mains" or "USB" supply online), or Device().cradled when pinned to 0 or 1.
//   It answers even when the key is stored; writing or deleting it answers 5.
//
// A database file that is not a database at all, or fails its integrity check when a process
// opens it, is renamed to "registry.db.corrupt" (replacing an older one) and a fresh, empty one
// is made: the program starts on its defaults and the bad file stays for examination. A file
// from a newer version of this store is left alone and every call answers 1610.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_errors.h"

namespace platform {

// ---- Roots, types, limits ----

enum class RegistryRoot : uint8_t {
  kCurrentUser = 1,   // HKEY_CURRENT_USER
  kLocalMachine = 2,  // HKEY_LOCAL_MACHINE
  kClassesRoot = 3,   // HKEY_CLASSES_ROOT
};

// Value types as the device numbers them; any other number is stored and returned as it is.
inline constexpr uint32_t kRegistryTypeNone = 0;
inline constexpr uint32_t kRegistryTypeText = 1;        // UTF-16LE, normally with its zero
inline constexpr uint32_t kRegistryTypeExpandText = 2;  // same, holding %VARIABLES%
inline constexpr uint32_t kRegistryTypeBinary = 3;
inline constexpr uint32_t kRegistryTypeDword = 4;       // 4 bytes, little-endian
inline constexpr uint32_t kRegistryTypeMultiText = 7;

inline constexpr size_t kRegistryMaxKeyNameChars = 255;
inline constexpr size_t kRegistryMaxValueNameChars = 16383;
inline constexpr size_t kRegistryMaxValueBytes = 1024 * 1024;

// ---- Key handles ----

// An open key: which root, which stored key (or which host-answered path). Move-only; it holds
// no host resource of its own, so closing it only forgets the key. A key deleted meanwhile (by
// this or another process) stays deleted for its handles: every operation answers 1018, even
// after a key of the same name is made again.
class RegistryKey {
 public:
  RegistryKey() = default;
  // The root key itself; lets a root stand wherever an open key is expected.
  RegistryKey(RegistryRoot root);  // NOLINT(google-explicit-constructor)
  RegistryKey(RegistryKey&& other) noexcept;
  RegistryKey& operator=(RegistryKey&& other) noexcept;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  ~RegistryKey() = default;

  bool IsOpen() const { return root_ != 0; }
  void Close();

 private:
  friend struct RegistryKeyAccess;
  uint8_t root_ = 0;      // RegistryRoot number; 0: not open
  int64_t id_ = 0;        // the stored key's row; 0: a key only the host answers
  std::u16string path_;   // the path from the root as opened ("" for the root itself)
};

// ---- Keys ----

// Opens the key at subkey below parent, creating every missing level. created (optional)
// tells whether the last level was made now. Fails with 87 for a bad path (an empty component,
// a name over 255 characters, a zero character), 1018 when parent was deleted, 170 when the
// database stayed locked by another process for 5 seconds, 1610 for an unreadable database,
// 3 when no device root is set. Every call below can answer these database errors too.
DeviceError RegistryCreateKey(const RegistryKey& parent, std::u16string_view subkey,
                              RegistryKey& key, bool* created = nullptr);

// Opens an existing key: 2 when it does not exist (stored or host-answered); else as above.
DeviceError RegistryOpenKey(const RegistryKey& parent, std::u16string_view subkey,
                            RegistryKey& key);

// Deletes the key at subkey (which must not be empty: 87) with all its subkeys and values.
// 2 when it does not exist; 5 for a key only the host answers.
DeviceError RegistryDeleteKey(const RegistryKey& parent, std::u16string_view subkey);

// The name of the subkey at index, in the order the subkeys were made (stable while none are
// added or removed). 259 past the last one.
DeviceError RegistryEnumKey(const RegistryKey& key, uint32_t index, std::u16string& name);

// ---- Values ----

// Reads a value the device's way. type (optional) receives its type. data may be null: then
// *size receives the byte count and the answer is 0. With data, *size is the buffer's size in
// bytes on entry and the value's size on return; a buffer too small answers 234 (and *size the
// size needed). size is required (87 without it). 2 when the value does not exist.
DeviceError RegistryQueryValue(const RegistryKey& key, std::u16string_view name, uint32_t* type,
                               void* data, uint32_t* size);

// Stores a value exactly as given (a text's byte count includes its 2-byte terminator when the
// caller includes it). 87 for a name over 16383 characters, data over 1 MiB, or data null with
// a non-zero size; 5 for host-answered values.
DeviceError RegistrySetValue(const RegistryKey& key, std::u16string_view name, uint32_t type,
                             const void* data, size_t size);

// 2 when the value does not exist; 5 for host-answered values.
DeviceError RegistryDeleteValue(const RegistryKey& key, std::u16string_view name);

// The value at index: the stored ones in the order they were first set, then the host's.
// type and data are optional. 259 past the last one.
DeviceError RegistryEnumValue(const RegistryKey& key, uint32_t index, std::u16string& name,
                              uint32_t* type = nullptr, std::vector<uint8_t>* data = nullptr);

// ---- Typed helpers ----
// Reads answer 2 for a missing value and 1630 for a value of another type (a DWORD must also be
// exactly 4 bytes); the out parameter is left unchanged unless the answer is 0.

DeviceError RegistryReadDword(const RegistryKey& key, std::u16string_view name, uint32_t& value);
DeviceError RegistryWriteDword(const RegistryKey& key, std::u16string_view name, uint32_t value);

// Reads a text value (type 1 or 2) as into a buffer of maxChars characters, its terminator
// included: a value of more than 2 * maxChars bytes answers 234. The text ends at its first zero
// character (a value stored without one is taken whole). 87 when maxChars is 0.
DeviceError RegistryReadText(const RegistryKey& key, std::u16string_view name,
                             std::u16string& text, size_t maxChars);
// A text as the registry stores it: UTF-16LE with its terminating zero.
std::vector<uint8_t> RegistryTextBytes(std::u16string_view text);
// Writes a text value (type 1) with its terminating zero.
DeviceError RegistryWriteText(const RegistryKey& key, std::u16string_view name,
                              std::u16string_view text);

// Reads a binary value (type 3 only).
DeviceError RegistryReadBinary(const RegistryKey& key, std::u16string_view name,
                               std::vector<uint8_t>& data);
DeviceError RegistryWriteBinary(const RegistryKey& key, std::u16string_view name,
                                const void* data, size_t size);

// ---- Process state ----

// Closes this process's database connection and forgets the host MIME table; the next call
// opens both again (on the device root in effect then). A process that fork()s a child that
// will use the registry calls this first: a database connection must not cross a fork.
void CloseRegistry();

// The host file MIME answers are read from (default "/etc/mime.types"); forgets the table read
// so far. Tests point it at a fixture.
void SetRegistryMimeTypesFile(const std::string& hostPath);

}  // namespace platform
