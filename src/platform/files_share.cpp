// The share-mode table and the host locks behind it; see files_share.h.
//
// In this process the table is exact: every open with access is recorded by host device and
// inode, and a new open is checked against each of them both ways. Other processes cannot see the
// table, so each open also holds a lock on its own open file description: an open that shares
// neither reading nor writing takes an exclusive lock, any other open a shared one, and a lock
// that cannot be had answers 32. flock is used rather than fcntl(F_OFD_SETLK): both belong to the
// open file description, but an exclusive OFD lock needs a descriptor open for writing, and a
// file opened for reading only without sharing must exclude writers too.
#include "platform/files_share.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <unordered_map>

#include "platform/files.h"

namespace platform {

namespace {

struct OpenClaim {
  dev_t device;     // host device of the open file
  ino_t inode;      // host inode of the open file
  uint32_t access;  // kAccessRead | kAccessWrite, never 0 (such opens claim nothing)
  uint32_t share;   // kShare... bits the open grants to others
};

// Every open file of this process that claims access. All fields guarded by `lock`, which is
// also held while a descriptor with a claim is closed, so a claim and its host lock end together.
struct ShareTable {
  std::mutex lock;
  std::unordered_map<uint64_t, OpenClaim> opens;  // by open id
  uint64_t nextId = 1;                            // next open id; 0 means "no claim"
};

ShareTable& Table() {
  static ShareTable table;
  return table;
}

bool Conflicts(const OpenClaim& a, const OpenClaim& b) {
  auto denied = [](uint32_t access, uint32_t share) {
    return ((access & kAccessRead) && !(share & kShareRead)) ||
           ((access & kAccessWrite) && !(share & kShareWrite));
  };
  return denied(a.access, b.share) || denied(b.access, a.share);
}

bool SharesNothing(uint32_t share) { return (share & (kShareRead | kShareWrite)) == 0; }

// Whether another process holds a lock that excludes `operation` (LOCK_SH or LOCK_EX). A file we
// cannot even open for the probe is left to the host call that follows.
bool HeldElsewhere(const std::string& hostPath, int operation) {
  int fd = ::open(hostPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  bool held = ::flock(fd, operation | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

bool HasClaims(dev_t device, ino_t inode) {
  for (const auto& [id, claim] : Table().opens) {
    if (claim.device == device && claim.inode == inode) return true;
  }
  return false;
}

}  // namespace

ShareTableLock LockShareTable() { return ShareTableLock(Table().lock); }

DeviceError ClaimOpen(int fd, uint32_t access, uint32_t share, uint64_t& openId) {
  openId = 0;
  if (access == 0) return kErrorSuccess;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return DeviceErrorFromErrno(errno);
  const OpenClaim claim{st.st_dev, st.st_ino, access, share};
  ShareTableLock guard = LockShareTable();
  for (const auto& [id, other] : Table().opens) {
    if (other.device == claim.device && other.inode == claim.inode && Conflicts(claim, other))
      return kErrorSharingViolation;
  }
  const int operation = SharesNothing(share) ? LOCK_EX : LOCK_SH;
  while (::flock(fd, operation | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    return errno == EWOULDBLOCK ? kErrorSharingViolation : DeviceErrorFromErrno(errno);
  }
  openId = Table().nextId++;
  Table().opens.emplace(openId, claim);
  return kErrorSuccess;
}

void ReleaseOpenAndClose(uint64_t openId, int fd) {
  ShareTableLock guard = LockShareTable();
  if (fd >= 0) ::close(fd);
  if (openId != 0) Table().opens.erase(openId);
}

DeviceError CheckDeleteSharingLocked(const ShareTableLock&, const std::string& hostPath,
                                     dev_t device, ino_t inode) {
  if (HasClaims(device, inode)) {
    for (const auto& [id, claim] : Table().opens) {
      if (claim.device == device && claim.inode == inode && !(claim.share & kShareDelete))
        return kErrorSharingViolation;
    }
    return kErrorSuccess;  // our own locks would answer the probe; the table is exact here
  }
  return HeldElsewhere(hostPath, LOCK_SH) ? kErrorSharingViolation : kErrorSuccess;
}

DeviceError CheckReplaceableLocked(const ShareTableLock&, const std::string& hostPath,
                                   dev_t device, ino_t inode) {
  if (HasClaims(device, inode)) return kErrorSharingViolation;
  return HeldElsewhere(hostPath, LOCK_EX) ? kErrorSharingViolation : kErrorSuccess;
}

}  // namespace platform
