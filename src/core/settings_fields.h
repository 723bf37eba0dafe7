// Private to the settings files: the table of every value kept in `Settings`, in the save order,
// which links each registry name to its field and setter. Load and save walk it; nothing outside
// src/core/settings_*.cpp includes this header.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/settings.h"

namespace nubrel::settings_detail {

enum class FieldKind {
  kInt,        // DWORD read as a signed number (-1 is a valid "never")
  kUint,       // DWORD colours, bit sets, ids and filter codes
  kFlag,       // DWORD 0/1
  kText,       // REG_SZ with its terminating zero
  kPassword,   // REG_BINARY, TEA-enciphered UTF-16LE with at least one zero character
  kSortOrder,  // REG_SZ "k1,k2,k3"
};

// Exactly one field/setter pair is set, the one of `kind` (kPassword uses the text pair;
// kSortOrder uses neither: its field is Settings::sortOrder).
struct SettingField {
  std::u16string_view name;
  FieldKind kind;
  std::atomic<int32_t> Settings::*intField = nullptr;
  bool (*setInt)(int32_t, bool) = nullptr;
  std::atomic<uint32_t> Settings::*uintField = nullptr;
  bool (*setUint)(uint32_t, bool) = nullptr;
  std::atomic<bool> Settings::*flagField = nullptr;
  SettingText Settings::*textField = nullptr;
  bool (*setText)(std::u16string_view, bool) = nullptr;
};

// Every value of the record, in the order SaveSettings writes them ("pathSpec" and
// "itemsUnRead", which are not kept, come before them and are not listed).
std::span<const SettingField> SettingFields();

// The one record, for the functions of the settings files.
Settings& MutableSettings();
// A record holding nothing but the defaults (never changed).
const Settings& DefaultSettings();

// Copies the default of one field into the live record.
void ResetField(const SettingField& field);

// Sort keys as stored and read back: decimal numbers joined by ","; missing numbers are 0.
std::u16string FormatSortOrder(const SortKeys& keys);
SortKeys ParseSortOrder(std::u16string_view text);

}  // namespace nubrel::settings_detail
