// The connectivity tests that fetching decisions and the automatic updates share. Today: whether
// the device sits in its cradle.
#pragma once

namespace nubrel {

// The registry value "Cradled" under local machine "System\State\Hardware" read as a 32-bit
// number: non-zero is cradled; a missing or unreadable value is not.
bool IsCradled();

}  // namespace nubrel
