// Share modes of open files: the in-process table of every open (exact device semantics) and the
// host locks that carry "opened without sharing" to other processes. Only files.cpp uses this;
// the rules as callers see them are in files.h.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/device_errors.h"

namespace platform {

// Holds the share table's lock. Deleting, moving and replacing a file hold it across their check
// and the host call, so no open in this process slips in between.
using ShareTableLock = std::unique_lock<std::mutex>;
ShareTableLock LockShareTable();

// Records the open of host descriptor fd (a regular file) with the device access and share bits.
// Returns 0 and the open's id, or 32 when the open conflicts with an open in this process or
// with another process's lock. An open with no access claims nothing and never conflicts.
DeviceError ClaimOpen(int fd, uint32_t access, uint32_t share, uint64_t& openId);

// Closes fd and ends the claims of its open, as one step under the table's lock.
void ReleaseOpenAndClose(uint64_t openId, int fd);

// With the table locked: 32 when the file (host device and inode) is open in this process
// without delete sharing, or held without sharing by another process; else 0.
DeviceError CheckDeleteSharingLocked(const ShareTableLock& lock, const std::string& hostPath,
                                     dev_t device, ino_t inode);

// With the table locked: 32 when the file is open in this process with any access at all, or
// held by another process; else 0. A copy replaces its target only when nobody has it open.
DeviceError CheckReplaceableLocked(const ShareTableLock& lock, const std::string& hostPath,
                                   dev_t device, ino_t inode);

}  // namespace platform
