// The registry store of the prefix: one SQLite database per root (registry/machine.db,
// registry/user.db). Layout of each:
//   keys(id, parent, name, fold, volatile, depth): one row per key; the root is id 1.
//     name is the UTF-16LE name as created; fold is the matching form (ASCII letters
//     upper-cased, UTF-16BE so that byte order is code-unit order); (parent, fold) unique.
//     Ids are never reused (AUTOINCREMENT), so a stale handle can only find its key gone.
//   key_values(key, name, fold, type, data): data is the raw bytes as written.
//   meta(name, value): "boot_id" of the boot that last opened the store.
// Connections use WAL, synchronous=FULL (a change that returned 0 is on disk), a 10 s busy
// timeout and BEGIN IMMEDIATE for every change, so processes wait for each other instead
// of failing. One connection per root per process, behind the store's lock.
#include "platform/registry.h"

#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/prefix.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace platform {

namespace {

constexpr LONG Status(DWORD code) { return static_cast<LONG>(code); }

constexpr std::int64_t kRootId = 1;
constexpr int kBusyTimeoutMs = 10000;
constexpr int kSchemaVersion = 1;

// A failure inside the store, carried to the function boundary as its status.
struct StoreError {
  LONG status;
};

LONG StatusFromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return Status(win::kErrorBusy);
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH: return Status(win::kErrorAccessDenied);
    case SQLITE_FULL: return Status(win::kErrorDiskFull);
    case SQLITE_NOMEM: return Status(win::kErrorNotEnoughMemory);
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_SCHEMA:
    case SQLITE_MISMATCH: return Status(win::kErrorRegistryCorrupt);
    default: return Status(win::kErrorRegistryIoFailed);
  }
}

[[noreturn]] void Fail(int sqliteCode) { throw StoreError{StatusFromSqlite(sqliteCode)}; }

// One SQLite connection.
class Database {
 public:
  explicit Database(sqlite3* db) : db_(db) {}
  Database(Database&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}
  Database& operator=(Database&& other) noexcept {
    if (this != &other) {
      Reset();
      db_ = std::exchange(other.db_, nullptr);
    }
    return *this;
  }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database() { Reset(); }

  sqlite3* get() const { return db_; }
  // In a child made by fork() the parent's connection must be neither used nor closed.
  void Abandon() { db_ = nullptr; }

  void Exec(const char* sql) {
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Fail(rc);
  }

 private:
  void Reset() {
    if (db_ != nullptr) sqlite3_close_v2(db_);
    db_ = nullptr;
  }
  sqlite3* db_ = nullptr;
};

class Statement {
 public:
  Statement(const Database& db, const char* sql) {
    int rc = sqlite3_prepare_v2(db.get(), sql, -1, &stmt_, nullptr);
    if (rc != SQLITE_OK) Fail(rc);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { sqlite3_finalize(stmt_); }

  Statement& Bind(int index, std::int64_t value) {
    Check(sqlite3_bind_int64(stmt_, index, value));
    return *this;
  }
  // Always a BLOB: an empty one is zero-length, not NULL.
  Statement& Bind(int index, std::string_view blob) {
    static const char kEmpty = 0;
    Check(sqlite3_bind_blob64(stmt_, index, blob.empty() ? &kEmpty : blob.data(), blob.size(),
                              SQLITE_TRANSIENT));
    return *this;
  }
  Statement& BindText(int index, const std::string& text) {
    Check(sqlite3_bind_text(stmt_, index, text.c_str(), -1, SQLITE_TRANSIENT));
    return *this;
  }
  // True when a row is ready.
  bool Step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Fail(rc);
  }
  std::int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  std::string Blob(int column) const {
    const void* data = sqlite3_column_blob(stmt_, column);
    int size = sqlite3_column_bytes(stmt_, column);
    if (data == nullptr || size <= 0) return {};
    return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
  }
  std::string Text(int column) const {
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
  }

 private:
  static void Check(int rc) {
    if (rc != SQLITE_OK) Fail(rc);
  }
  sqlite3_stmt* stmt_ = nullptr;
};

// Rolls back unless committed. Changes take the write lock up front (BEGIN IMMEDIATE) so
// that a read never has to be upgraded, which could fail instead of waiting.
class Transaction {
 public:
  enum Kind { kRead, kWrite };
  Transaction(Database& db, Kind kind) : db_(db) { db_.Exec(kind == kWrite ? "BEGIN IMMEDIATE" : "BEGIN"); }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction() {
    if (!done_) sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void Commit() {
    db_.Exec("COMMIT");
    done_ = true;
  }

 private:
  Database& db_;
  bool done_ = false;
};

// A key or value name: the bytes as stored and the form names are matched by.
struct Name {
  std::string raw;   // UTF-16LE
  std::string fold;  // ASCII upper-cased, UTF-16BE
  std::size_t units = 0;
};

Name MakeName(std::wstring_view text) {
  Name name;
  name.raw = WideToUtf16Le(text);
  name.units = name.raw.size() / 2;
  name.fold.resize(name.raw.size());
  for (std::size_t i = 0; i + 1 < name.raw.size(); i += 2) {
    auto unit = static_cast<std::uint16_t>(static_cast<unsigned char>(name.raw[i]) |
                                           static_cast<unsigned char>(name.raw[i + 1]) << 8);
    if (unit >= u'a' && unit <= u'z') unit = static_cast<std::uint16_t>(unit - u'a' + u'A');
    name.fold[i] = static_cast<char>(unit >> 8);
    name.fold[i + 1] = static_cast<char>(unit & 0xFF);
  }
  return name;
}

// The components of a subkey path. Repeated and trailing backslashes are skipped as
// Windows does; a leading one makes the path invalid.
LONG SplitPath(const wchar_t* subKey, std::vector<Name>* parts) {
  parts->clear();
  if (subKey == nullptr) return 0;
  std::wstring_view path(subKey);
  if (!path.empty() && path.front() == L'\\') return Status(win::kErrorBadPathname);
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find(L'\\', start);
    if (end == std::wstring_view::npos) end = path.size();
    if (end > start) parts->push_back(MakeName(path.substr(start, end - start)));
    start = end + 1;
  }
  return 0;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::string BootId() {
  if (const char* forced = std::getenv("ORVO_BOOT_ID"); forced != nullptr && *forced != '\0') {
    return forced;
  }
  std::ifstream in("/proc/sys/kernel/random/boot_id");
  std::string id;
  std::getline(in, id);
  return id;
}

// ExpandEnvironmentStringsW: %NAME% becomes the variable's value; an undefined name is
// left as it is. Windows names ignore case, so the upper-cased name is tried as well.
std::wstring ExpandEnvironment(std::wstring_view text) {
  std::wstring out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != L'%') {
      out.push_back(text[i++]);
      continue;
    }
    std::size_t end = text.find(L'%', i + 1);
    if (end == std::wstring_view::npos) {
      out.append(text.substr(i));
      break;
    }
    std::wstring_view name = text.substr(i + 1, end - i - 1);
    const char* value = nullptr;
    if (!name.empty()) {
      std::string narrow = WideToUtf8(name);
      value = std::getenv(narrow.c_str());
      if (value == nullptr) {
        for (auto& c : narrow) {
          if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        }
        value = std::getenv(narrow.c_str());
      }
    }
    if (value != nullptr) {
      out += Utf8ToWide(value);
    } else {
      out.append(text.substr(i, end - i + 1));
    }
    i = end + 1;
  }
  return out;
}

enum class Hive { kMachine = 0, kUser = 1 };

struct KeyRow {
  std::int64_t id = 0;
  bool isVolatile = false;
  std::int64_t depth = 0;
};

std::optional<KeyRow> LoadKey(const Database& db, std::int64_t id) {
  Statement select(db, "SELECT volatile, depth FROM keys WHERE id = ?1");
  select.Bind(1, id);
  if (!select.Step()) return std::nullopt;
  return KeyRow{id, select.Int(0) != 0, select.Int(1)};
}

std::optional<KeyRow> FindChild(const Database& db, const KeyRow& parent, const Name& name) {
  Statement select(db, "SELECT id, volatile FROM keys WHERE parent = ?1 AND fold = ?2");
  select.Bind(1, parent.id).Bind(2, name.fold);
  if (!select.Step()) return std::nullopt;
  return KeyRow{select.Int(0), select.Int(1) != 0, parent.depth + 1};
}

// Waits out other processes while the connection is first set up: changing the journal
// mode needs the database to itself, and SQLite may report that contention at once.
void ExecWithRetry(Database& db, const char* sql) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  for (;;) {
    int rc = sqlite3_exec(db.get(), sql, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) return;
    if ((rc & 0xFF) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline) Fail(rc);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool SchemaCurrent(Database& db, const std::string& bootId) {
  Transaction tx(db, Transaction::kRead);
  Statement version(db, "PRAGMA user_version");
  if (!version.Step() || version.Int(0) != kSchemaVersion) return false;
  Statement boot(db, "SELECT value FROM meta WHERE name = 'boot_id'");
  if (!boot.Step()) return false;
  return bootId.empty() || boot.Text(0) == bootId;
}

void PrepareSchema(Database& db, const std::string& bootId) {
  Transaction tx(db, Transaction::kWrite);
  db.Exec(
      "CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
      "CREATE TABLE IF NOT EXISTS keys("
      "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
      "  parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
      "  name BLOB NOT NULL,"
      "  fold BLOB NOT NULL,"
      "  volatile INTEGER NOT NULL DEFAULT 0,"
      "  depth INTEGER NOT NULL,"
      "  UNIQUE(parent, fold));"
      "CREATE TABLE IF NOT EXISTS key_values("
      "  key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
      "  name BLOB NOT NULL,"
      "  fold BLOB NOT NULL,"
      "  type INTEGER NOT NULL,"
      "  data BLOB NOT NULL,"
      "  UNIQUE(key, fold));"
      "INSERT OR IGNORE INTO keys(id, parent, name, fold, volatile, depth)"
      "  VALUES (1, NULL, x'', x'', 0, 0);"
      "PRAGMA user_version = 1;");
  std::optional<std::string> stored;
  {
    Statement boot(db, "SELECT value FROM meta WHERE name = 'boot_id'");
    if (boot.Step()) stored = boot.Text(0);
  }
  if (!bootId.empty() && stored != bootId) {
    // A restart since the store was last opened: volatile keys are gone. Their subkeys
    // are volatile too and go with them.
    if (stored) db.Exec("DELETE FROM keys WHERE volatile = 1");
    Statement put(db, "INSERT OR REPLACE INTO meta(name, value) VALUES ('boot_id', ?1)");
    put.BindText(1, bootId);
    put.Step();
  } else if (!stored) {
    db.Exec("INSERT OR IGNORE INTO meta(name, value) VALUES ('boot_id', '')");
  }
  tx.Commit();
}

Database OpenHive(const fs::path& file) {
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &raw,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  Database db(raw);  // owns the handle even when the open failed
  if (rc != SQLITE_OK) Fail(rc);
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
  ExecWithRetry(db, "PRAGMA journal_mode=WAL");
  db.Exec("PRAGMA synchronous=FULL");
  db.Exec("PRAGMA foreign_keys=ON");
  const std::string bootId = BootId();
  if (!SchemaCurrent(db, bootId)) PrepareSchema(db, bootId);
  return db;
}

// Where a handle points.
struct Target {
  Hive hive = Hive::kMachine;
  std::int64_t id = kRootId;
  REGSAM access = KEY_ALL_ACCESS;
};

struct ValueRow {
  DWORD type = REG_NONE;
  std::string data;
};

class Store {
 public:
  static Store& Instance() {
    // Never destroyed: keys may still be closed by destructors of other statics.
    static Store* const store = new Store();
    return *store;
  }

  // Runs body(store) under the lock and turns store failures into statuses.
  template <class Body>
  LONG Run(Body&& body) {
    try {
      std::lock_guard lock(mutex_);
      Refresh();
      return body(*this);
    } catch (const StoreError& error) {
      return error.status;
    } catch (const std::bad_alloc&) {
      return Status(win::kErrorNotEnoughMemory);
    } catch (const std::exception&) {
      return Status(win::kErrorRegistryIoFailed);
    }
  }

  // 0 and the target, or ERROR_INVALID_HANDLE.
  LONG Resolve(HKEY key, Target* target) const {
    if (key == HKEY_LOCAL_MACHINE) {
      *target = Target{Hive::kMachine, kRootId, KEY_ALL_ACCESS};
      return 0;
    }
    if (key == HKEY_CURRENT_USER) {
      *target = Target{Hive::kUser, kRootId, KEY_ALL_ACCESS};
      return 0;
    }
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(key));
    if (key == nullptr || it == handles_.end()) return Status(win::kErrorInvalidHandle);
    *target = it->second;
    return 0;
  }

  Database& Db(Hive hive) {
    auto& slot = hives_[static_cast<int>(hive)];
    if (!slot) {
      const char* file = hive == Hive::kMachine ? "machine.db" : "user.db";
      slot.emplace(OpenHive(prefix_ / "registry" / file));
    }
    return *slot;
  }

  HKEY NewHandle(Hive hive, std::int64_t id, REGSAM access) {
    // Values are never reused, so a closed handle stays invalid.
    nextHandle_ += 4;
    handles_.emplace(nextHandle_, Target{hive, id, access});
    return reinterpret_cast<HKEY>(nextHandle_);
  }

  bool Forget(HKEY key) { return handles_.erase(reinterpret_cast<std::uintptr_t>(key)) != 0; }

 private:
  Store() = default;

  // Follows the process's prefix (tests switch it) and survives fork().
  void Refresh() {
    const pid_t pid = ::getpid();
    if (pid != pid_) {
      for (auto& slot : hives_) {
        if (slot) slot->Abandon();
        slot.reset();
      }
      pid_ = pid;
    }
    fs::path prefix = PrefixRoot();
    if (prefix != prefix_) {
      for (auto& slot : hives_) slot.reset();
      handles_.clear();
      prefix_ = std::move(prefix);
    }
  }

  std::mutex mutex_;
  pid_t pid_ = 0;
  fs::path prefix_;
  std::optional<Database> hives_[2];
  std::unordered_map<std::uintptr_t, Target> handles_;
  std::uintptr_t nextHandle_ = 0x1000;
};

// The key a path leads to from `base`, within an open transaction.
LONG Walk(const Database& db, const Target& base, const std::vector<Name>& parts, KeyRow* found) {
  std::optional<KeyRow> key = LoadKey(db, base.id);
  if (!key) return Status(win::kErrorKeyDeleted);
  for (const Name& part : parts) {
    key = FindChild(db, *key, part);
    if (!key) return Status(win::kErrorFileNotFound);
  }
  *found = *key;
  return 0;
}

LONG LoadValue(const Database& db, const Target& target, const wchar_t* name, ValueRow* value) {
  if (!LoadKey(db, target.id)) return Status(win::kErrorKeyDeleted);
  Statement select(db, "SELECT type, data FROM key_values WHERE key = ?1 AND fold = ?2");
  select.Bind(1, target.id).Bind(2, MakeName(name != nullptr ? name : L"").fold);
  if (!select.Step()) return Status(win::kErrorFileNotFound);
  value->type = static_cast<DWORD>(select.Int(0));
  value->data = select.Blob(1);
  return 0;
}

// Reads one value through a handle that must allow KEY_QUERY_VALUE.
LONG FetchValue(HKEY key, const wchar_t* name, ValueRow* value) {
  return Store::Instance().Run([&](Store& store) -> LONG {
    Target target;
    if (LONG status = store.Resolve(key, &target)) return status;
    if ((target.access & KEY_QUERY_VALUE) == 0) return Status(win::kErrorAccessDenied);
    Database& db = store.Db(target.hive);
    Transaction tx(db, Transaction::kRead);
    if (LONG status = LoadValue(db, target, name, value)) return status;
    tx.Commit();
    return 0;
  });
}

// Copies a name into a caller's buffer as the enumeration functions do.
LONG CopyName(const std::string& raw, wchar_t* name, DWORD* nameLength) {
  const std::wstring text = Utf16LeToWide(raw);
  if (text.size() >= *nameLength) return Status(win::kErrorMoreData);
  text.copy(name, text.size());
  name[text.size()] = L'\0';
  *nameLength = static_cast<DWORD>(text.size());
  return 0;
}

// The string RegGetValue returns: NUL-terminated whole UTF-16 units.
std::string TerminatedString(std::string data) {
  if (data.size() % 2 != 0) data.pop_back();
  const std::size_t n = data.size();
  if (n < 2 || data[n - 2] != 0 || data[n - 1] != 0) data.append(2, '\0');
  return data;
}

std::string ExpandedString(const std::string& data) {
  std::wstring text = Utf16LeToWide(data);
  text.resize(std::wcslen(text.c_str()));  // ExpandEnvironmentStrings stops at the first NUL
  std::string out = WideToUtf16Le(ExpandEnvironment(text));
  out.append(2, '\0');
  return out;
}

DWORD RestrictionMask(DWORD type) {
  switch (type) {
    case REG_NONE: return RRF_RT_REG_NONE;
    case REG_SZ: return RRF_RT_REG_SZ;
    case REG_EXPAND_SZ: return RRF_RT_REG_EXPAND_SZ;
    case REG_MULTI_SZ: return RRF_RT_REG_MULTI_SZ;
    case REG_BINARY: return RRF_RT_REG_BINARY;
    case REG_DWORD: return RRF_RT_REG_DWORD;
    case REG_QWORD: return RRF_RT_REG_QWORD;
    default: return 0;
  }
}

}  // namespace

bool IsPredefinedKey(HKEY key) {
  for (HKEY predefined : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
                          HKEY_PERFORMANCE_DATA, HKEY_PERFORMANCE_TEXT, HKEY_PERFORMANCE_NLSTEXT,
                          HKEY_CURRENT_CONFIG, HKEY_DYN_DATA, HKEY_CURRENT_USER_LOCAL_SETTINGS}) {
    if (key == predefined) return true;
  }
  return false;
}

LONG RegOpenKeyEx(HKEY key, const wchar_t* subKey, DWORD /*options*/, REGSAM access, HKEY* result) {
  if (result == nullptr) return Status(win::kErrorInvalidParameter);
  *result = nullptr;
  if ((subKey == nullptr || *subKey == L'\0') && IsPredefinedKey(key)) {
    *result = key;
    return 0;
  }
  return Store::Instance().Run([&](Store& store) -> LONG {
    Target base;
    if (LONG status = store.Resolve(key, &base)) return status;
    std::vector<Name> parts;
    if (LONG status = SplitPath(subKey, &parts)) return status;
    Database& db = store.Db(base.hive);
    Transaction tx(db, Transaction::kRead);
    KeyRow found;
    if (LONG status = Walk(db, base, parts, &found)) return status;
    tx.Commit();
    *result = store.NewHandle(base.hive, found.id, access);
    return 0;
  });
}

LONG RegCreateKeyEx(HKEY key, const wchar_t* subKey, DWORD options, REGSAM access, HKEY* result,
                    DWORD* disposition) {
  if (result == nullptr) return Status(win::kErrorBadKey);
  if ((options & ~DWORD{0x1F}) != 0) return Status(win::kErrorInvalidParameter);
  if ((options & REG_OPTION_CREATE_LINK) != 0) return Status(win::kErrorNotSupported);
  const bool makeVolatile = (options & REG_OPTION_VOLATILE) != 0;
  return Store::Instance().Run([&](Store& store) -> LONG {
    Target base;
    if (LONG status = store.Resolve(key, &base)) return status;
    std::vector<Name> parts;
    if (LONG status = SplitPath(subKey, &parts)) return status;
    for (const Name& part : parts) {
      if (part.units > kRegistryMaxKeyName) return Status(win::kErrorInvalidParameter);
    }
    Database& db = store.Db(base.hive);
    Transaction tx(db, Transaction::kWrite);
    std::optional<KeyRow> current = LoadKey(db, base.id);
    if (!current) return Status(win::kErrorKeyDeleted);
    std::size_t next = 0;
    for (; next < parts.size(); ++next) {
      std::optional<KeyRow> child = FindChild(db, *current, parts[next]);
      if (!child) break;
      current = child;
    }
    DWORD outcome = REG_OPENED_EXISTING_KEY;
    if (next < parts.size()) {
      // Only the first new key can have a volatile parent; the rest get a parent made
      // with the same options. All levels are made in this one transaction.
      if (current->isVolatile && !makeVolatile) return Status(win::kErrorChildMustBeVolatile);
      if (current->depth + static_cast<std::int64_t>(parts.size() - next) > kRegistryMaxDepth) {
        return Status(win::kErrorInvalidParameter);
      }
      for (; next < parts.size(); ++next) {
        Statement insert(db,
                         "INSERT INTO keys(parent, name, fold, volatile, depth) VALUES (?1, ?2, ?3, ?4, ?5)");
        insert.Bind(1, current->id)
            .Bind(2, parts[next].raw)
            .Bind(3, parts[next].fold)
            .Bind(4, std::int64_t{makeVolatile ? 1 : 0})
            .Bind(5, current->depth + 1);
        insert.Step();
        current = KeyRow{sqlite3_last_insert_rowid(db.get()), makeVolatile, current->depth + 1};
      }
      outcome = REG_CREATED_NEW_KEY;
    }
    tx.Commit();
    *result = store.NewHandle(base.hive, current->id, access);
    if (disposition != nullptr) *disposition = outcome;
    return 0;
  });
}

LONG RegCloseKey(HKEY key) {
  if (IsPredefinedKey(key)) return 0;
  return Store::Instance().Run([&](Store& store) -> LONG {
    return store.Forget(key) ? 0 : Status(win::kErrorInvalidHandle);
  });
}

LONG RegQueryValueEx(HKEY key, const wchar_t* name, DWORD* type, BYTE* data, DWORD* size) {
  if (data != nullptr && size == nullptr) return Status(win::kErrorInvalidParameter);
  ValueRow value;
  if (LONG status = FetchValue(key, name, &value)) return status;
  const auto needed = static_cast<DWORD>(value.data.size());
  if (type != nullptr) *type = value.type;
  if (data != nullptr) {
    if (*size < needed) {
      *size = needed;
      return Status(win::kErrorMoreData);
    }
    std::memcpy(data, value.data.data(), needed);
    // Windows adds a NUL unit after an unterminated string when there is room for it.
    if (IsStringType(value.type) && needed >= 2 && *size - needed >= 2 &&
        (data[needed - 2] != 0 || data[needed - 1] != 0)) {
      data[needed] = 0;
      data[needed + 1] = 0;
    }
  }
  if (size != nullptr) *size = needed;
  return 0;
}

LONG RegSetValueEx(HKEY key, const wchar_t* name, DWORD type, const BYTE* data, DWORD size) {
  if (data == nullptr && size != 0) return Status(win::kErrorNoAccess);
  const Name valueName = MakeName(name != nullptr ? name : L"");
  return Store::Instance().Run([&](Store& store) -> LONG {
    Target target;
    if (LONG status = store.Resolve(key, &target)) return status;
    if ((target.access & KEY_SET_VALUE) == 0) return Status(win::kErrorAccessDenied);
    if (valueName.units > kRegistryMaxValueName) return Status(win::kErrorFilenameExcedRange);
    Database& db = store.Db(target.hive);
    Transaction tx(db, Transaction::kWrite);
    if (!LoadKey(db, target.id)) return Status(win::kErrorKeyDeleted);
    // An existing value keeps the spelling of its name, as on Windows.
    Statement upsert(db,
                     "INSERT INTO key_values(key, name, fold, type, data) VALUES (?1, ?2, ?3, ?4, ?5)"
                     " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
    upsert.Bind(1, target.id)
        .Bind(2, valueName.raw)
        .Bind(3, valueName.fold)
        .Bind(4, std::int64_t{type})
        .Bind(5, std::string_view(reinterpret_cast<const char*>(data), data != nullptr ? size : 0));
    upsert.Step();
    tx.Commit();
    return 0;
  });
}

LONG RegGetValue(HKEY key, const wchar_t* subKey, const wchar_t* value, DWORD flags, DWORD* type,
                 void* data, DWORD* size) {
  if (data != nullptr && size == nullptr) return Status(win::kErrorInvalidParameter);
  // Expansion happens before the type check, so asking for REG_EXPAND_SZ only makes sense
  // together with RRF_NOEXPAND (or with any type).
  if ((flags & RRF_RT_REG_EXPAND_SZ) != 0 && (flags & RRF_NOEXPAND) == 0 &&
      (flags & RRF_RT_ANY) != RRF_RT_ANY) {
    return Status(win::kErrorInvalidParameter);
  }
  if ((flags & RRF_WOW64_MASK) == RRF_WOW64_MASK) return Status(win::kErrorInvalidParameter);
  const DWORD capacity = data != nullptr ? *size : 0;
  auto zeroOnFailure = [&](LONG status) {
    if (status != 0 && data != nullptr && (flags & RRF_ZEROONFAILURE) != 0) std::memset(data, 0, capacity);
    return status;
  };

  HKEY source = key;
  HKEY opened = nullptr;
  if (subKey != nullptr && *subKey != L'\0') {
    if (LONG status = RegOpenKeyEx(key, subKey, 0, KEY_QUERY_VALUE, &opened)) return zeroOnFailure(status);
    source = opened;
  }
  ValueRow row;
  LONG status = FetchValue(source, value, &row);
  if (opened != nullptr) RegCloseKey(opened);
  if (status != 0) return zeroOnFailure(status);

  DWORD resultType = row.type;
  std::string result;
  if (row.type == REG_EXPAND_SZ && (flags & RRF_NOEXPAND) == 0) {
    result = ExpandedString(row.data);
    resultType = REG_SZ;
  } else if (IsStringType(row.type)) {
    result = TerminatedString(std::move(row.data));
  } else {
    result = std::move(row.data);
  }
  const auto needed = static_cast<DWORD>(result.size());

  if ((flags & RestrictionMask(resultType)) == 0) {
    status = Status(win::kErrorUnsupportedType);
  } else if (resultType == REG_BINARY &&
             (((flags & RRF_RT_ANY) == RRF_RT_DWORD && needed != 4) ||
              ((flags & RRF_RT_ANY) == RRF_RT_QWORD && needed != 8))) {
    status = Status(win::kErrorDatatypeMismatch);
  } else if (data != nullptr) {
    if (capacity < needed) {
      status = Status(win::kErrorMoreData);
    } else {
      std::memcpy(data, result.data(), needed);
    }
  }
  if (type != nullptr) *type = resultType;
  if (size != nullptr) *size = needed;
  return zeroOnFailure(status);
}

LONG RegEnumKeyEx(HKEY key, DWORD index, wchar_t* name, DWORD* nameLength) {
  if (name == nullptr || nameLength == nullptr) return Status(win::kErrorInvalidParameter);
  return Store::Instance().Run([&](Store& store) -> LONG {
    Target target;
    if (LONG status = store.Resolve(key, &target)) return status;
    if ((target.access & KEY_ENUMERATE_SUB_KEYS) == 0) return Status(win::kErrorAccessDenied);
    Database& db = store.Db(target.hive);
    Transaction tx(db, Transaction::kRead);
    if (!LoadKey(db, target.id)) return Status(win::kErrorKeyDeleted);
    Statement select(db, "SELECT name FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2");
    select.Bind(1, target.id).Bind(2, std::int64_t{index});
    if (!select.Step()) return Status(win::kErrorNoMoreItems);
    std::string raw = select.Blob(0);
    tx.Commit();
    return CopyName(raw, name, nameLength);
  });
}

LONG RegEnumValue(HKEY key, DWORD index, wchar_t* name, DWORD* nameLength, DWORD* type, BYTE* data,
                  DWORD* size) {
  if (name == nullptr || nameLength == nullptr) return Status(win::kErrorInvalidParameter);
  if (data != nullptr && size == nullptr) return Status(win::kErrorInvalidParameter);
  std::string rawName;
  ValueRow value;
  LONG status = Store::Instance().Run([&](Store& store) -> LONG {
    Target target;
    if (LONG status = store.Resolve(key, &target)) return status;
    if ((target.access & KEY_QUERY_VALUE) == 0) return Status(win::kErrorAccessDenied);
    Database& db = store.Db(target.hive);
    Transaction tx(db, Transaction::kRead);
    if (!LoadKey(db, target.id)) return Status(win::kErrorKeyDeleted);
    Statement select(db,
                     "SELECT name, type, data FROM key_values WHERE key = ?1 ORDER BY rowid LIMIT 1 OFFSET ?2");
    select.Bind(1, target.id).Bind(2, std::int64_t{index});
    if (!select.Step()) return Status(win::kErrorNoMoreItems);
    rawName = select.Blob(0);
    value.type = static_cast<DWORD>(select.Int(1));
    value.data = select.Blob(2);
    tx.Commit();
    return 0;
  });
  if (status != 0) return status;
  if (LONG copied = CopyName(rawName, name, nameLength)) return copied;
  const auto needed = static_cast<DWORD>(value.data.size());
  if (type != nullptr) *type = value.type;
  if (data != nullptr) {
    if (*size < needed) {
      *size = needed;
      return Status(win::kErrorMoreData);
    }
    std::memcpy(data, value.data.data(), needed);
  }
  if (size != nullptr) *size = needed;
  return 0;
}

LONG RegDeleteKeyEx(HKEY key, const wchar_t* subKey, REGSAM /*view*/, DWORD /*reserved*/) {
  if (subKey == nullptr) return Status(win::kErrorInvalidParameter);
  return Store::Instance().Run([&](Store& store) -> LONG {
    Target base;
    if (LONG status = store.Resolve(key, &base)) return status;
    std::vector<Name> parts;
    if (LONG status = SplitPath(subKey, &parts)) return status;
    Database& db = store.Db(base.hive);
    Transaction tx(db, Transaction::kWrite);
    KeyRow found;
    if (LONG status = Walk(db, base, parts, &found)) return status;
    if (found.id == kRootId) return Status(win::kErrorAccessDenied);
    {
      Statement children(db, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
      children.Bind(1, found.id);
      if (children.Step()) return Status(win::kErrorAccessDenied);
    }
    Statement erase(db, "DELETE FROM keys WHERE id = ?1");  // its values cascade
    erase.Bind(1, found.id);
    erase.Step();
    tx.Commit();
    return 0;
  });
}

LONG RegDeleteKey(HKEY key, const wchar_t* subKey) { return RegDeleteKeyEx(key, subKey, 0, 0); }

LONG RegDeleteValue(HKEY key, const wchar_t* name) {
  const Name valueName = MakeName(name != nullptr ? name : L"");
  return Store::Instance().Run([&](Store& store) -> LONG {
    Target target;
    if (LONG status = store.Resolve(key, &target)) return status;
    if ((target.access & KEY_SET_VALUE) == 0) return Status(win::kErrorAccessDenied);
    Database& db = store.Db(target.hive);
    Transaction tx(db, Transaction::kWrite);
    if (!LoadKey(db, target.id)) return Status(win::kErrorKeyDeleted);
    Statement erase(db, "DELETE FROM key_values WHERE key = ?1 AND fold = ?2");
    erase.Bind(1, target.id).Bind(2, valueName.fold);
    erase.Step();
    if (sqlite3_changes(db.get()) == 0) return Status(win::kErrorFileNotFound);
    tx.Commit();
    return 0;
  });
}

RegDeleteKeyExProc LookupRegDeleteKeyEx() { return &RegDeleteKeyEx; }

}  // namespace platform
