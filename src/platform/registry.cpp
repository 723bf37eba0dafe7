// The registry's stored keys and values in SQLite; see registry.h. The host's own answers (MIME
// table, cradle state) and name folding are in registry_host.cpp.
//
// Map:
//   ---- Process state ----          the one connection of this process, CloseRegistry
//   ---- SQLite helpers ----         statements, transactions, result codes to device errors
//   ---- Opening the database ----   schema, WAL, a corrupt file set aside
//   ---- Paths and names ----        splitting and checking key paths, walking stored keys
//   ---- Keys ----
//   ---- Values ----
//   ---- Typed helpers ----
//
// Schema (user_version 1):
//   keys(id, parent, name, fold)           the three roots are rows 1..3 with parent 0
//   vals(id, key, name, fold, type, data)  data exactly as the caller gave it
// Ids come from AUTOINCREMENT and are never reused, so a handle's id names one key forever: once
// that key is deleted the handle answers 1018, whatever is made later under the same name.
// Enumeration follows the ids, which is creation order.
//
// Concurrency: threads of one process take turns on its connection under RegistryConnection's
// lock; processes meet in SQLite's locks (WAL, so readers never wait for a writer). Every write
// is one BEGIN IMMEDIATE transaction, which takes the write lock up front: a deferred transaction
// that upgrades could fail at once instead of waiting for the busy time-out.
#include "platform/registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "platform/device.h"
#include "platform/registry_host.h"
#include "platform/utf.h"

namespace platform {

// Reads and writes RegistryKey's private fields for the functions of this file.
struct RegistryKeyAccess {
  static RegistryRoot Root(const RegistryKey& key) { return static_cast<RegistryRoot>(key.root_); }
  static int64_t Id(const RegistryKey& key) { return key.id_; }
  static const std::u16string& Path(const RegistryKey& key) { return key.path_; }
  static void Set(RegistryKey& key, RegistryRoot root, int64_t id, std::u16string path) {
    key.root_ = static_cast<uint8_t>(root);
    key.id_ = id;
    key.path_ = std::move(path);
  }
};

RegistryKey::RegistryKey(RegistryRoot root)
    : root_(static_cast<uint8_t>(root)), id_(static_cast<int64_t>(root)) {}

RegistryKey::RegistryKey(RegistryKey&& other) noexcept
    : root_(other.root_), id_(other.id_), path_(std::move(other.path_)) {
  other.Close();
}

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept {
  if (this != &other) {
    root_ = other.root_;
    id_ = other.id_;
    path_ = std::move(other.path_);
    other.Close();
  }
  return *this;
}

void RegistryKey::Close() {
  root_ = 0;
  id_ = 0;
  path_.clear();
}

namespace {

using Key = RegistryKeyAccess;

constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 5000;
constexpr const char* kDatabaseName = "/registry.db";

// ---- Process state ----

struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, SqliteCloser>;

// The process's one database connection. Guarded by lock, which every registry call holds for
// its whole transaction.
struct RegistryConnection {
  std::mutex lock;
  Database db;       // open connection, or null until the first call
  std::string path;  // host path db was opened on (the device root may change between tests)
  pid_t owner = 0;   // process that opened db: a fork()ed child must open its own
};

RegistryConnection g_connection;

// ---- SQLite helpers ----

DeviceError ErrorFromSqlite(int rc, sqlite3* db) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE: return kErrorSuccess;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return kErrorBusy;
    case SQLITE_NOMEM: return kErrorNotEnoughMemory;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH: return kErrorAccessDenied;
    case SQLITE_FULL: return kErrorDiskFull;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return kErrorBadConfiguration;
    case SQLITE_TOOBIG:
    case SQLITE_CONSTRAINT: return kErrorInvalidParameter;
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR: {
      int err = db ? sqlite3_system_errno(db) : 0;
      if (err != 0) return DeviceErrorFromErrno(err);
      return (rc & 0xFF) == SQLITE_CANTOPEN ? kErrorPathNotFound : kErrorStorageNotReady;
    }
    default: return kErrorInvalidFunction;
  }
}

struct StatementFinalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};

// One prepared statement. Errors of preparing or binding surface at the first Step.
class Query {
 public:
  Query(sqlite3* db, const char* sql) : db_(db) {
    sqlite3_stmt* raw = nullptr;
    rc_ = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
    stmt_.reset(raw);
  }

  Query& Bind(int index, int64_t value) {
    if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_int64(stmt_.get(), index, value);
    return *this;
  }
  Query& Bind(int index, const std::string& text) {
    if (rc_ == SQLITE_OK) {
      rc_ = sqlite3_bind_text(stmt_.get(), index, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT);
    }
    return *this;
  }
  Query& BindBlob(int index, const void* data, size_t size) {
    if (rc_ != SQLITE_OK) return *this;
    // A null pointer would bind NULL; an empty value is a zero-length blob.
    rc_ = size == 0 ? sqlite3_bind_zeroblob(stmt_.get(), index, 0)
                    : sqlite3_bind_blob64(stmt_.get(), index, data, size, SQLITE_TRANSIENT);
    return *this;
  }

  // True with a row; false when done or failed (error tells which).
  bool Step(DeviceError& error) {
    if (rc_ != SQLITE_OK) {
      error = ErrorFromSqlite(rc_, db_);
      return false;
    }
    int rc = sqlite3_step(stmt_.get());
    if (rc == SQLITE_ROW) return true;
    error = rc == SQLITE_DONE ? kErrorSuccess : ErrorFromSqlite(rc, db_);
    if (error == kErrorSuccess && rc != SQLITE_DONE) error = kErrorInvalidFunction;
    return false;
  }
  // Runs a statement that returns no rows.
  DeviceError Run() {
    DeviceError error = kErrorSuccess;
    while (Step(error)) {
    }
    return error;
  }

  int64_t Int(int column) const { return sqlite3_column_int64(stmt_.get(), column); }
  std::string Text(int column) const {
    const unsigned char* text = sqlite3_column_text(stmt_.get(), column);
    int size = sqlite3_column_bytes(stmt_.get(), column);
    return text ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(size))
                : std::string();
  }
  std::vector<uint8_t> Blob(int column) const {
    const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_.get(), column));
    int size = sqlite3_column_bytes(stmt_.get(), column);
    return data ? std::vector<uint8_t>(data, data + size) : std::vector<uint8_t>();
  }

 private:
  sqlite3* db_;
  int rc_ = SQLITE_OK;
  std::unique_ptr<sqlite3_stmt, StatementFinalizer> stmt_;
};

DeviceError Exec(sqlite3* db, const char* sql) {
  return ErrorFromSqlite(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db);
}

// A transaction that rolls back unless committed.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) {}
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction() {
    if (active_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }

  DeviceError BeginRead() { return Begin("BEGIN"); }
  DeviceError BeginWrite() { return Begin("BEGIN IMMEDIATE"); }
  DeviceError Commit() {
    DeviceError error = Exec(db_, "COMMIT");
    if (error == kErrorSuccess) active_ = false;
    return error;
  }

 private:
  DeviceError Begin(const char* sql) {
    DeviceError error = Exec(db_, sql);
    active_ = error == kErrorSuccess;
    return error;
  }
  sqlite3* db_;
  bool active_ = false;
};

// ---- Opening the database ----

DeviceError ReadUserVersion(sqlite3* db, int& version) {
  Query query(db, "PRAGMA user_version");
  DeviceError error = kErrorSuccess;
  if (!query.Step(error)) return error ? error : kErrorBadConfiguration;
  version = static_cast<int>(query.Int(0));
  return kErrorSuccess;
}

// Whether the file is not a database we can trust: not SQLite at all, or failing the quick
// integrity check. Other failures (busy, I/O) are reported, not taken for corruption.
DeviceError CheckIntegrity(sqlite3* db, bool& corrupt) {
  corrupt = false;
  Query query(db, "PRAGMA quick_check(1)");
  DeviceError error = kErrorSuccess;
  if (query.Step(error)) {
    corrupt = query.Text(0) != "ok";
    return kErrorSuccess;
  }
  if (error == kErrorBadConfiguration) {
    corrupt = true;
    return kErrorSuccess;
  }
  return error;
}

DeviceError CreateSchema(sqlite3* db) {
  Transaction transaction(db);
  if (DeviceError error = transaction.BeginWrite()) return error;
  int version = 0;
  if (DeviceError error = ReadUserVersion(db, version)) return error;
  if (version != 0) return kErrorSuccess;  // another process made it while we waited
  static const char* const kSchema =
      "CREATE TABLE IF NOT EXISTS keys("
      "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
      "  parent INTEGER NOT NULL,"
      "  name TEXT NOT NULL,"
      "  fold TEXT NOT NULL,"
      "  UNIQUE(parent, fold));"
      "CREATE TABLE IF NOT EXISTS vals("
      "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
      "  key INTEGER NOT NULL,"
      "  name TEXT NOT NULL,"
      "  fold TEXT NOT NULL,"
      "  type INTEGER NOT NULL,"
      "  data BLOB NOT NULL,"
      "  UNIQUE(key, fold));"
      "INSERT OR IGNORE INTO keys(id, parent, name, fold) VALUES"
      "  (1, 0, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER'),"
      "  (2, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE'),"
      "  (3, 0, 'HKEY_CLASSES_ROOT', 'HKEY_CLASSES_ROOT');"
      "PRAGMA user_version = 1;";
  if (DeviceError error = Exec(db, kSchema)) return error;
  return transaction.Commit();
}

DeviceError SetWalMode(sqlite3* db) {
  // Switching the journal mode needs a moment alone with the file; the busy handler does not
  // always cover it, so wait here as long as the busy time-out would.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  for (;;) {
    Query query(db, "PRAGMA journal_mode = WAL");
    DeviceError error = kErrorSuccess;
    if (query.Step(error)) return kErrorSuccess;
    if (error != kErrorBusy || std::chrono::steady_clock::now() >= deadline) {
      return error ? error : kErrorInvalidFunction;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

DeviceError OpenConnection(const std::string& path, int flags, Database& db) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  db.reset(raw);
  if (rc != SQLITE_OK) {
    DeviceError error = ErrorFromSqlite(rc, raw);
    db.reset();
    return error;
  }
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
  return kErrorSuccess;
}

// Opens the database, makes the schema when it is new. corrupt: the file cannot be used and
// should be set aside.
DeviceError OpenAndCheck(const std::string& path, Database& db, bool& corrupt) {
  corrupt = false;
  if (DeviceError error =
          OpenConnection(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, db)) {
    return error;
  }
  if (DeviceError error = CheckIntegrity(db.get(), corrupt); error || corrupt) {
    db.reset();
    return error ? error : kErrorBadConfiguration;
  }
  int version = 0;
  if (DeviceError error = ReadUserVersion(db.get(), version)) return error;
  // A newer program's database is left as it is: setting it aside would lose its settings.
  if (version > kSchemaVersion) {
    db.reset();
    return kErrorBadConfiguration;
  }
  if (DeviceError error = SetWalMode(db.get())) return error;
  // In WAL mode this keeps the file whole through any crash and syncs only at checkpoints; a
  // power cut may undo the last commits. Syncing every commit made saving the ~70 settings, one
  // value per transaction, take seconds on slow storage.
  if (DeviceError error = Exec(db.get(), "PRAGMA synchronous = NORMAL")) return error;
  if (version == 0) {
    if (DeviceError error = CreateSchema(db.get())) return error;
  }
  return kErrorSuccess;
}

// Renames a corrupt database to "registry.db.corrupt" (replacing an older one) so that it can be
// examined, under a lock file so that two processes finding it at once set aside only the bad
// file and never the fresh one the first of them made.
DeviceError SetCorruptFileAside(const std::string& path) {
  std::string lockPath = path + ".lock";
  int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return DeviceErrorFromErrno(errno);
  std::unique_ptr<int, void (*)(int*)> lock(&fd, [](int* f) { ::close(*f); });
  if (::flock(fd, LOCK_EX) != 0) return DeviceErrorFromErrno(errno);

  Database probe;
  if (OpenConnection(path, SQLITE_OPEN_READWRITE, probe) == kErrorSuccess) {
    bool corrupt = false;
    DeviceError error = CheckIntegrity(probe.get(), corrupt);
    probe.reset();
    if (error) return error;
    if (!corrupt) return kErrorSuccess;  // someone else already replaced it
  }
  std::string aside = path + ".corrupt";
  if (::rename(path.c_str(), aside.c_str()) != 0 && errno != ENOENT) {
    return DeviceErrorFromErrno(errno);
  }
  // The journal files belong to the bad file; a fresh database must not pick them up.
  if (::rename((path + "-wal").c_str(), (aside + "-wal").c_str()) != 0 && errno != ENOENT) {
    return DeviceErrorFromErrno(errno);
  }
  ::unlink((path + "-shm").c_str());
  return kErrorSuccess;
}

DeviceError OpenDatabase(const std::string& path, Database& db) {
  bool corrupt = false;
  DeviceError error = OpenAndCheck(path, db, corrupt);
  if (!corrupt) return error;
  if (SetCorruptFileAside(path) != kErrorSuccess) return kErrorBadConfiguration;
  error = OpenAndCheck(path, db, corrupt);
  return corrupt ? kErrorBadConfiguration : error;
}

// Makes sure g_connection.db is open on the current device root. Caller holds the lock.
DeviceError EnsureOpen() {
  if (Device().root.empty()) return kErrorPathNotFound;
  std::string path = DevicePrivateFolder() + kDatabaseName;
  pid_t self = ::getpid();
  if (g_connection.db && g_connection.owner != self) {
    // Inherited over fork(): closing it here could disturb the parent's locks. Abandon it.
    (void)g_connection.db.release();
  }
  if (g_connection.db && g_connection.path == path) return kErrorSuccess;
  g_connection.db.reset();
  ::mkdir(DevicePrivateFolder().c_str(), 0700);
  Database db;
  if (DeviceError error = OpenDatabase(path, db)) return error;
  g_connection.db = std::move(db);
  g_connection.path = path;
  g_connection.owner = self;
  return kErrorSuccess;
}

// Runs work(db) on the open connection, with the lock held. A corrupt database found on the way
// closes the connection, so that the next call checks the file again and sets it aside.
template <class Work>
DeviceError WithDatabase(Work&& work) {
  try {
    std::lock_guard guard(g_connection.lock);
    if (DeviceError error = EnsureOpen()) return error;
    DeviceError error = work(g_connection.db.get());
    if (error == kErrorBadConfiguration) g_connection.db.reset();
    return error;
  } catch (const std::bad_alloc&) {
    return kErrorNotEnoughMemory;
  }
}

// ---- Paths and names ----

// A name as the database stores it: as written, and folded for comparison (both UTF-8).
struct StoredName {
  std::string name;
  std::string fold;
};

bool IsWellFormed(std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c == 0) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

// Splits "a\b\c" into its names; "" is no names. 87 for an empty or over-long name, a zero
// character or a broken surrogate pair.
DeviceError SplitKeyPath(std::u16string_view path, std::vector<std::u16string>& parts) {
  parts.clear();
  if (path.empty()) return kErrorSuccess;
  size_t start = 0;
  for (;;) {
    size_t end = path.find(u'\\', start);
    std::u16string_view part = path.substr(start, end == std::u16string_view::npos ? end : end - start);
    if (part.empty() || part.size() > kRegistryMaxKeyNameChars || !IsWellFormed(part)) {
      return kErrorInvalidParameter;
    }
    parts.emplace_back(part);
    if (end == std::u16string_view::npos) return kErrorSuccess;
    start = end + 1;
  }
}

std::u16string JoinKeyPath(const std::vector<std::u16string>& parts) {
  std::u16string path;
  for (const auto& part : parts) {
    if (!path.empty()) path += u'\\';
    path += part;
  }
  return path;
}

std::vector<std::u16string> FoldAll(const std::vector<std::u16string>& parts) {
  std::vector<std::u16string> folded;
  folded.reserve(parts.size());
  for (const auto& part : parts) folded.push_back(FoldRegistryName(part));
  return folded;
}

StoredName ToStoredName(std::u16string_view name) {
  return {ToUtf8(name), ToUtf8(FoldRegistryName(name))};
}

// The path of an open key followed by subkey's names; the key's own path was checked when the
// handle was made.
DeviceError FullPathOf(const RegistryKey& key, std::u16string_view subkey,
                       std::vector<std::u16string>& full, std::vector<std::u16string>& sub) {
  if (DeviceError error = SplitKeyPath(subkey, sub)) return error;
  SplitKeyPath(Key::Path(key), full);
  full.insert(full.end(), sub.begin(), sub.end());
  return kErrorSuccess;
}

DeviceError StoredKeyExists(sqlite3* db, int64_t id, bool& exists) {
  Query query(db, "SELECT 1 FROM keys WHERE id = ?1");
  query.Bind(1, id);
  DeviceError error = kErrorSuccess;
  exists = query.Step(error);
  return error;
}

// 0 when the stored key behind an open handle still exists, 1018 when it was deleted.
DeviceError CheckStoredKey(sqlite3* db, const RegistryKey& key) {
  bool exists = false;
  if (DeviceError error = StoredKeyExists(db, Key::Id(key), exists)) return error;
  return exists ? kErrorSuccess : kErrorKeyDeleted;
}

DeviceError FindChild(sqlite3* db, int64_t parent, const std::u16string& name, int64_t& id) {
  Query query(db, "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
  query.Bind(1, parent).Bind(2, ToUtf8(FoldRegistryName(name)));
  DeviceError error = kErrorSuccess;
  id = query.Step(error) ? query.Int(0) : 0;
  return error;
}

// Walks names down from a stored key; id is 0 when one of them is not stored.
DeviceError FindStoredKey(sqlite3* db, int64_t start, const std::vector<std::u16string>& parts,
                          int64_t& id) {
  id = start;
  for (const auto& part : parts) {
    if (DeviceError error = FindChild(db, id, part, id)) return error;
    if (id == 0) return kErrorSuccess;
  }
  return kErrorSuccess;
}

// Finds the stored key at subkey below key, inside the caller's transaction: by walking down
// from a stored key (which must still exist), or from the root for a host-answered key.
DeviceError LocateStoredKey(sqlite3* db, const RegistryKey& key,
                            const std::vector<std::u16string>& full,
                            const std::vector<std::u16string>& sub, int64_t& id) {
  if (Key::Id(key) != 0) {
    if (DeviceError error = CheckStoredKey(db, key)) return error;
    return FindStoredKey(db, Key::Id(key), sub, id);
  }
  return FindStoredKey(db, static_cast<int64_t>(Key::Root(key)), full, id);
}

}  // namespace

// ---- Keys ----

DeviceError RegistryCreateKey(const RegistryKey& parent, std::u16string_view subkey,
                              RegistryKey& key, bool* created) {
  if (!parent.IsOpen()) return kErrorInvalidHandle;
  std::vector<std::u16string> full, sub;
  if (DeviceError error = FullPathOf(parent, subkey, full, sub)) return error;
  RegistryRoot root = Key::Root(parent);
  int64_t id = 0;
  bool madeLast = false;
  DeviceError error = WithDatabase([&](sqlite3* db) -> DeviceError {
    Transaction transaction(db);
    if (DeviceError e = transaction.BeginWrite()) return e;
    id = static_cast<int64_t>(root);
    const std::vector<std::u16string>* walk = &full;
    if (Key::Id(parent) != 0) {
      if (DeviceError e = CheckStoredKey(db, parent)) return e;
      id = Key::Id(parent);
      walk = &sub;
    }
    for (const auto& part : *walk) {
      int64_t child = 0;
      if (DeviceError e = FindChild(db, id, part, child)) return e;
      madeLast = child == 0;
      if (madeLast) {
        StoredName name = ToStoredName(part);
        Query insert(db, "INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)");
        insert.Bind(1, id).Bind(2, name.name).Bind(3, name.fold);
        if (DeviceError e = insert.Run()) return e;
        child = sqlite3_last_insert_rowid(db);
      }
      id = child;
    }
    return transaction.Commit();
  });
  if (error) return error;
  Key::Set(key, root, id, JoinKeyPath(full));
  if (created) *created = madeLast;
  return kErrorSuccess;
}

DeviceError RegistryOpenKey(const RegistryKey& parent, std::u16string_view subkey,
                            RegistryKey& key) {
  if (!parent.IsOpen()) return kErrorInvalidHandle;
  std::vector<std::u16string> full, sub;
  if (DeviceError error = FullPathOf(parent, subkey, full, sub)) return error;
  RegistryRoot root = Key::Root(parent);
  int64_t id = 0;
  DeviceError error = WithDatabase([&](sqlite3* db) -> DeviceError {
    Transaction transaction(db);
    if (DeviceError e = transaction.BeginRead()) return e;
    return LocateStoredKey(db, parent, full, sub, id);
  });
  if (error) return error;
  if (id == 0 && !HostHasRegistryKey(root, FoldAll(full))) return kErrorFileNotFound;
  Key::Set(key, root, id, JoinKeyPath(full));
  return kErrorSuccess;
}

DeviceError RegistryDeleteKey(const RegistryKey& parent, std::u16string_view subkey) {
  if (!parent.IsOpen()) return kErrorInvalidHandle;
  std::vector<std::u16string> full, sub;
  if (DeviceError error = FullPathOf(parent, subkey, full, sub)) return error;
  if (sub.empty()) return kErrorInvalidParameter;
  RegistryRoot root = Key::Root(parent);
  int64_t id = 0;
  DeviceError error = WithDatabase([&](sqlite3* db) -> DeviceError {
    Transaction transaction(db);
    if (DeviceError e = transaction.BeginWrite()) return e;
    if (DeviceError e = LocateStoredKey(db, parent, full, sub, id)) return e;
    if (id == 0) return kErrorSuccess;
    static const char* const kSubtree =
        "WITH RECURSIVE subtree(id) AS ("
        "  SELECT ?1 UNION ALL SELECT keys.id FROM keys JOIN subtree ON keys.parent = subtree.id) ";
    Query values(db, (std::string(kSubtree) + "DELETE FROM vals WHERE key IN subtree").c_str());
    if (DeviceError e = values.Bind(1, id).Run()) return e;
    Query keys(db, (std::string(kSubtree) + "DELETE FROM keys WHERE id IN subtree").c_str());
    if (DeviceError e = keys.Bind(1, id).Run()) return e;
    return transaction.Commit();
  });
  if (error) return error;
  if (id == 0) return HostHasRegistryKey(root, FoldAll(full)) ? kErrorAccessDenied : kErrorFileNotFound;
  return kErrorSuccess;
}

DeviceError RegistryEnumKey(const RegistryKey& key, uint32_t index, std::u16string& name) {
  if (!key.IsOpen()) return kErrorInvalidHandle;
  // Host-answered keys list nothing: their children are answers, not a catalogue.
  if (Key::Id(key) == 0) return kErrorNoMoreItems;
  return WithDatabase([&](sqlite3* db) -> DeviceError {
    Transaction transaction(db);
    if (DeviceError e = transaction.BeginRead()) return e;
    if (DeviceError e = CheckStoredKey(db, key)) return e;
    Query query(db, "SELECT name FROM keys WHERE parent = ?1 ORDER BY id LIMIT 1 OFFSET ?2");
    query.Bind(1, Key::Id(key)).Bind(2, static_cast<int64_t>(index));
    DeviceError e = kErrorSuccess;
    if (!query.Step(e)) return e ? e : kErrorNoMoreItems;
    name = FromUtf8(query.Text(0));
    return kErrorSuccess;
  });
}

// ---- Values ----

namespace {

DeviceError CheckValueName(std::u16string_view name) {
  if (name.size() > kRegistryMaxValueNameChars || !IsWellFormed(name)) return kErrorInvalidParameter;
  return kErrorSuccess;
}

std::vector<std::u16string> FoldedPathOf(const RegistryKey& key) {
  std::vector<std::u16string> parts;
  SplitKeyPath(Key::Path(key), parts);
  return FoldAll(parts);
}

// Reads one value, from the host's answers or the database.
DeviceError ReadValue(const RegistryKey& key, std::u16string_view name, uint32_t& type,
                      std::vector<uint8_t>& data) {
  if (!key.IsOpen()) return kErrorInvalidHandle;
  if (DeviceError error = CheckValueName(name)) return error;
  std::u16string folded = FoldRegistryName(name);
  bool stored = Key::Id(key) != 0;
  std::vector<std::u16string> path = FoldedPathOf(key);
  auto fromHost = [&]() -> bool {
    for (auto& value : HostRegistryValues(Key::Root(key), path, stored)) {
      if (FoldRegistryName(value.name) == folded) {
        type = value.type;
        data = std::move(value.data);
        return true;
      }
    }
    return false;
  };
  if (!stored) return fromHost() ? kErrorSuccess : kErrorFileNotFound;
  return WithDatabase([&](sqlite3* db) -> DeviceError {
    Transaction transaction(db);
    if (DeviceError e = transaction.BeginRead()) return e;
    if (DeviceError e = CheckStoredKey(db, key)) return e;
    if (HostOwnsRegistryValue(Key::Root(key), path, true, folded)) {
      return fromHost() ? kErrorSuccess : kErrorFileNotFound;
    }
    Query query(db, "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2");
    query.Bind(1, Key::Id(key)).Bind(2, ToUtf8(folded));
    DeviceError e = kErrorSuccess;
    if (!query.Step(e)) return e ? e : kErrorFileNotFound;
    type = static_cast<uint32_t>(query.Int(0));
    data = query.Blob(1);
    return kErrorSuccess;
  });
}

}  // namespace

DeviceError RegistryQueryValue(const RegistryKey& key, std::u16string_view name, uint32_t* type,
                               void* data, uint32_t* size) {
  if (!size) return kErrorInvalidParameter;
  uint32_t valueType = 0;
  std::vector<uint8_t> bytes;
  if (DeviceError error = ReadValue(key, name, valueType, bytes)) return error;
  uint32_t capacity = *size;
  *size = static_cast<uint32_t>(bytes.size());
  if (type) *type = valueType;
  if (!data) return kErrorSuccess;
  if (bytes.size() > capacity) return kErrorMoreData;
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  return kErrorSuccess;
}

DeviceError RegistrySetValue(const RegistryKey& key, std::u16string_view name, uint32_t type,
                             const void* data, size_t size) {
  if (!key.IsOpen()) return kErrorInvalidHandle;
  if (DeviceError error = CheckValueName(name)) return error;
  if (size > kRegistryMaxValueBytes || (!data && size != 0)) return kErrorInvalidParameter;
  std::u16string folded = FoldRegistryName(name);
  if (Key::Id(key) == 0) return kErrorAccessDenied;
  if (HostOwnsRegistryValue(Key::Root(key), FoldedPathOf(key), true, folded)) return kErrorAccessDenied;
  StoredName stored = ToStoredName(name);
  return WithDatabase([&](sqlite3* db) -> DeviceError {
    Transaction transaction(db);
    if (DeviceError e = transaction.BeginWrite()) return e;
    if (DeviceError e = CheckStoredKey(db, key)) return e;
    // An existing value keeps its row, so its place in the enumeration and its first-written
    // name stay.
    Query upsert(db,
                 "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
                 "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
    upsert.Bind(1, Key::Id(key)).Bind(2, stored.name).Bind(3, stored.fold);
    upsert.Bind(4, static_cast<int64_t>(type)).BindBlob(5, data, size);
    if (DeviceError e = upsert.Run()) return e;
    return transaction.Commit();
  });
}

DeviceError RegistryDeleteValue(const RegistryKey& key, std::u16string_view name) {
  if (!key.IsOpen()) return kErrorInvalidHandle;
  if (DeviceError error = CheckValueName(name)) return error;
  std::u16string folded = FoldRegistryName(name);
  bool stored = Key::Id(key) != 0;
  if (HostOwnsRegistryValue(Key::Root(key), FoldedPathOf(key), stored, folded)) {
    return kErrorAccessDenied;
  }
  if (!stored) return kErrorFileNotFound;
  return WithDatabase([&](sqlite3* db) -> DeviceError {
    Transaction transaction(db);
    if (DeviceError e = transaction.BeginWrite()) return e;
    if (DeviceError e = CheckStoredKey(db, key)) return e;
    Query remove(db, "DELETE FROM vals WHERE key = ?1 AND fold = ?2");
    if (DeviceError e = remove.Bind(1, Key::Id(key)).Bind(2, ToUtf8(folded)).Run()) return e;
    if (sqlite3_changes(db) == 0) return kErrorFileNotFound;
    return transaction.Commit();
  });
}

DeviceError RegistryEnumValue(const RegistryKey& key, uint32_t index, std::u16string& name,
                              uint32_t* type, std::vector<uint8_t>* data) {
  if (!key.IsOpen()) return kErrorInvalidHandle;
  bool stored = Key::Id(key) != 0;
  int64_t storedCount = 0;
  if (stored) {
    DeviceError error = WithDatabase([&](sqlite3* db) -> DeviceError {
      Transaction transaction(db);
      if (DeviceError e = transaction.BeginRead()) return e;
      if (DeviceError e = CheckStoredKey(db, key)) return e;
      Query count(db, "SELECT COUNT(*) FROM vals WHERE key = ?1");
      DeviceError e = kErrorSuccess;
      if (!count.Bind(1, Key::Id(key)).Step(e)) return e ? e : kErrorInvalidFunction;
      storedCount = count.Int(0);
      if (index >= storedCount) return kErrorSuccess;
      Query query(db, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id LIMIT 1 OFFSET ?2");
      query.Bind(1, Key::Id(key)).Bind(2, static_cast<int64_t>(index));
      if (!query.Step(e)) return e ? e : kErrorNoMoreItems;
      name = FromUtf8(query.Text(0));
      if (type) *type = static_cast<uint32_t>(query.Int(1));
      if (data) *data = query.Blob(2);
      return kErrorSuccess;
    });
    if (error || index < storedCount) return error;
  }
  std::vector<RegistryHostValue> host = HostRegistryValues(Key::Root(key), FoldedPathOf(key), stored);
  uint64_t hostIndex = index - static_cast<uint64_t>(storedCount);
  if (hostIndex >= host.size()) return kErrorNoMoreItems;
  RegistryHostValue& value = host[hostIndex];
  name = value.name;
  if (type) *type = value.type;
  if (data) *data = std::move(value.data);
  return kErrorSuccess;
}

// ---- Typed helpers ----

DeviceError RegistryReadDword(const RegistryKey& key, std::u16string_view name, uint32_t& value) {
  uint32_t type = 0;
  std::vector<uint8_t> bytes;
  if (DeviceError error = ReadValue(key, name, type, bytes)) return error;
  if (type != kRegistryTypeDword || bytes.size() != 4) return kErrorUnsupportedType;
  value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
          static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  return kErrorSuccess;
}

DeviceError RegistryWriteDword(const RegistryKey& key, std::u16string_view name, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return RegistrySetValue(key, name, kRegistryTypeDword, bytes, sizeof bytes);
}

DeviceError RegistryReadText(const RegistryKey& key, std::u16string_view name,
                             std::u16string& text, size_t maxChars) {
  if (maxChars == 0) return kErrorInvalidParameter;
  uint32_t type = 0;
  std::vector<uint8_t> bytes;
  if (DeviceError error = ReadValue(key, name, type, bytes)) return error;
  if (type != kRegistryTypeText && type != kRegistryTypeExpandText) return kErrorUnsupportedType;
  if (bytes.size() > 2 * maxChars) return kErrorMoreData;
  std::u16string result;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char16_t c = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
    if (c == 0) break;
    result.push_back(c);
  }
  text = std::move(result);
  return kErrorSuccess;
}

std::vector<uint8_t> RegistryTextBytes(std::u16string_view text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() * 2 + 2);
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

DeviceError RegistryWriteText(const RegistryKey& key, std::u16string_view name,
                              std::u16string_view text) {
  const std::vector<uint8_t> bytes = RegistryTextBytes(text);
  return RegistrySetValue(key, name, kRegistryTypeText, bytes.data(), bytes.size());
}

DeviceError RegistryReadBinary(const RegistryKey& key, std::u16string_view name,
                               std::vector<uint8_t>& data) {
  uint32_t type = 0;
  std::vector<uint8_t> bytes;
  if (DeviceError error = ReadValue(key, name, type, bytes)) return error;
  if (type != kRegistryTypeBinary) return kErrorUnsupportedType;
  data = std::move(bytes);
  return kErrorSuccess;
}

DeviceError RegistryWriteBinary(const RegistryKey& key, std::u16string_view name,
                                const void* data, size_t size) {
  return RegistrySetValue(key, name, kRegistryTypeBinary, data, size);
}

// ---- Process state ----

void CloseRegistry() {
  {
    std::lock_guard guard(g_connection.lock);
    if (g_connection.db && g_connection.owner != ::getpid()) (void)g_connection.db.release();
    g_connection.db.reset();
    g_connection.path.clear();
  }
  ForgetHostMimeTable();
}

void SetRegistryMimeTypesFile(const std::string& hostPath) { SetHostMimeTypesFile(hostPath); }

}  // namespace platform
