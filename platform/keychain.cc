#include "platform/keychain.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/sqlite_database.h"

namespace platform {
namespace {

// The attributes stored in their own columns; every one is a match key of queries.
struct Column {
  const char* key;
  const char* name;
  bool isData;
};
// A column added after the first release is added to older files when they are opened.
constexpr std::array<Column, 7> kColumns{{
    {kSecAttrService, "service", false},
    {kSecAttrAccount, "account", false},
    {kSecAttrAccessGroup, "access_group", false},
    {kSecAttrGeneric, "generic", true},
    {kSecAttrApplicationTag, "application_tag", true},
    {kSecAttrAccessible, "accessible", false},
    {kSecAttrKeyType, "key_type", false},
}};

struct Item {
  std::int64_t id = 0;
  std::string itemClass;
  std::array<std::string, kColumns.size()> fields;  // data columns hold their bytes
  Data data;
};

struct Query {
  std::optional<std::string> itemClass;
  std::array<std::optional<std::string>, kColumns.size()> fields;
  std::optional<Data> data;
  bool returnData = false;
  bool returnAttributes = false;
  bool matchAll = false;
};

std::string fieldText(const Value& value, bool isData, bool* ok) {
  if (const std::string* text = value.asString()) return *text;
  if (isData) {
    if (const Data* data = value.asData()) return data->toString();
  }
  *ok = false;
  return {};
}

// Reads a dictionary into a query; `allowData` admits kSecValueData, `allowControls` the
// return and limit keys, `allowClass` kSecClass.
bool parse(const Dictionary& dictionary, Query* query, bool allowData, bool allowControls,
           bool allowClass) {
  bool ok = true;
  for (const auto& [key, value] : dictionary) {
    if (key == kSecClass && allowClass) {
      const std::string* text = value.asString();
      if (!text || (*text != kSecClassGenericPassword && *text != kSecClassKey)) return false;
      query->itemClass = *text;
    } else if (key == kSecValueData && allowData) {
      const Data* data = value.asData();
      if (!data) return false;
      query->data = *data;
    } else if (key == kSecReturnData && allowControls && value.isNumber()) {
      query->returnData = value.boolValue();
    } else if (key == kSecReturnAttributes && allowControls && value.isNumber()) {
      query->returnAttributes = value.boolValue();
    } else if (key == kSecMatchLimit && allowControls && value.isString()) {
      if (*value.asString() == kSecMatchLimitAll) {
        query->matchAll = true;
      } else if (*value.asString() != kSecMatchLimitOne) {
        return false;
      }
    } else if (key == kSecUseDataProtectionKeychain) {
      continue;
    } else {
      std::size_t i = 0;
      while (i < kColumns.size() && key != kColumns[i].key) ++i;
      if (i == kColumns.size()) return false;
      query->fields[i] = fieldText(value, kColumns[i].isData, &ok);
      if (!ok) return false;
    }
  }
  return true;
}

Dictionary attributesOf(const Item& item, bool withData) {
  Dictionary attributes;
  attributes.set(kSecClass, item.itemClass);
  for (std::size_t i = 0; i < kColumns.size(); ++i) {
    if (kColumns[i].isData) {
      attributes.set(kColumns[i].key, Data::fromString(item.fields[i]));
    } else {
      attributes.set(kColumns[i].key, item.fields[i]);
    }
  }
  if (withData) attributes.set(kSecValueData, item.data);
  return attributes;
}

std::size_t indexOf(const char* key) {
  std::size_t i = 0;
  while (std::string_view(kColumns[i].key) != key) ++i;
  return i;
}

// Two items with equal identities cannot both be stored.
std::vector<std::string> identityOf(const Item& item) {
  std::vector<std::string> identity{item.itemClass, item.fields[indexOf(kSecAttrAccessGroup)]};
  if (item.itemClass == kSecClassKey) {
    identity.push_back(item.fields[indexOf(kSecAttrApplicationTag)]);
  } else {
    identity.push_back(item.fields[indexOf(kSecAttrService)]);
    identity.push_back(item.fields[indexOf(kSecAttrAccount)]);
  }
  return identity;
}

// One open store for the length of a call.
class Store {
 public:
  Store() {
    std::filesystem::path folder = applicationSupportDirectory() / "Keychain";
    if (!createDirectory(folder, true, nullptr, DirectoryAccess::OwnerOnly)) return;
    ::chmod(folder.c_str(), 0700);
    std::filesystem::path file = folder / "keychain.db";
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    ::fchmod(fd, 0600);
    ::close(fd);
    SQLiteOpenOptions options;
    options.schema = schema();
    options.busyTimeoutMilliseconds = 5000;
    if (openSQLiteDatabase(file, options, &db_) != SQLITE_OK) return;
    std::string create = "CREATE TABLE IF NOT EXISTS items (id INTEGER PRIMARY KEY AUTOINCREMENT, "
                         "class TEXT NOT NULL";
    for (const Column& column : kColumns) create += std::string(", ") + column.name + type(column);
    create += ", data BLOB NOT NULL)";
    ok_ = exec(create) && addMissingColumns() && exec("BEGIN IMMEDIATE");
  }
  ~Store() {
    if (db_) {
      if (ok_) exec(committed_ ? "" : "ROLLBACK");
      sqlite3_close(db_);
    }
  }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  bool ok() const { return ok_; }
  bool commit() {
    committed_ = exec("COMMIT");
    return committed_;
  }

  // With firstOnly, the oldest match alone is read.
  bool select(const Query& query, std::vector<Item>* items, bool firstOnly = false) {
    std::string sql = "SELECT id, class";
    for (const Column& column : kColumns) sql += std::string(", ") + column.name;
    sql += ", data FROM items WHERE 1";
    if (query.itemClass) sql += " AND class = ?";
    for (std::size_t i = 0; i < kColumns.size(); ++i) {
      if (query.fields[i]) sql += std::string(" AND ") + kColumns[i].name + " = ?";
    }
    sql += firstOnly ? " ORDER BY id LIMIT 1" : " ORDER BY id";
    sqlite3_stmt* statement = prepare(sql);
    if (!statement) return false;
    int index = 1;
    if (query.itemClass) bindText(statement, index++, *query.itemClass, false);
    for (std::size_t i = 0; i < kColumns.size(); ++i) {
      if (query.fields[i]) bindText(statement, index++, *query.fields[i], kColumns[i].isData);
    }
    int step;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
      Item item;
      item.id = sqlite3_column_int64(statement, 0);
      item.itemClass = columnText(statement, 1);
      for (std::size_t i = 0; i < kColumns.size(); ++i) {
        item.fields[i] = columnText(statement, static_cast<int>(i) + 2);
      }
      std::string data = columnText(statement, static_cast<int>(kColumns.size()) + 2);
      item.data = Data::fromString(data);
      items->push_back(std::move(item));
    }
    sqlite3_finalize(statement);
    return step == SQLITE_DONE;
  }

  // Inserts when the id is 0, else rewrites the row.
  bool write(const Item& item) {
    std::string sql = item.id == 0 ? "INSERT INTO items (class" : "UPDATE items SET class = ?";
    for (const Column& column : kColumns) {
      sql +=
          item.id == 0 ? std::string(", ") + column.name : std::string(", ") + column.name + " = ?";
    }
    if (item.id == 0) {
      sql += ", data) VALUES (?";
      for (std::size_t i = 0; i <= kColumns.size(); ++i) sql += ", ?";
      sql += ")";
    } else {
      sql += ", data = ? WHERE id = ?";
    }
    sqlite3_stmt* statement = prepare(sql);
    if (!statement) return false;
    bindText(statement, 1, item.itemClass, false);
    for (std::size_t i = 0; i < kColumns.size(); ++i) {
      bindText(statement, static_cast<int>(i) + 2, item.fields[i], kColumns[i].isData);
    }
    int next = static_cast<int>(kColumns.size()) + 2;
    bindText(statement, next, item.data.toString(), true);
    if (item.id != 0) sqlite3_bind_int64(statement, next + 1, item.id);
    bool done = sqlite3_step(statement) == SQLITE_DONE;
    sqlite3_finalize(statement);
    return done;
  }

  bool remove(std::int64_t id) {
    sqlite3_stmt* statement = prepare("DELETE FROM items WHERE id = ?");
    if (!statement) return false;
    sqlite3_bind_int64(statement, 1, id);
    bool done = sqlite3_step(statement) == SQLITE_DONE;
    sqlite3_finalize(statement);
    return done;
  }

 private:
  static std::string type(const Column& column) {
    return column.isData ? " BLOB NOT NULL DEFAULT x''" : " TEXT NOT NULL DEFAULT ''";
  }

  // Every form of the file: the first release declared the attribute columns without a
  // default, and AUTOINCREMENT brings SQLite's own table of keys.
  static SQLiteSchema schema() {
    SQLiteTableShape items{"items",
                           {{"id", {"INTEGER PRIMARY KEY AUTOINCREMENT"}},
                            {"class", {"TEXT NOT NULL"}},
                            {"data", {"BLOB NOT NULL"}}},
                           {}};
    for (const Column& column : kColumns) {
      items.columns.push_back(
          {column.name, {type(column), column.isData ? "BLOB NOT NULL" : "TEXT NOT NULL"}});
    }
    return SQLiteSchema{
        {std::move(items), {"sqlite_sequence", {{"name", {""}}, {"seq", {""}}}, {}}}, false};
  }

  std::vector<std::string> missingColumns() {
    std::vector<std::string> missing;
    for (const Column& column : kColumns) missing.emplace_back(column.name);
    sqlite3_stmt* statement = prepare("PRAGMA table_info(items)");
    if (!statement) return missing;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      std::erase(missing, columnText(statement, 1));
    }
    sqlite3_finalize(statement);
    return missing;
  }

  // In a transaction of its own, so that it is done once even when the call's own changes
  // are rolled back, and by one process when several open an old file together.
  bool addMissingColumns() {
    if (missingColumns().empty()) return true;
    if (!exec("BEGIN IMMEDIATE")) return false;
    for (const std::string& name : missingColumns()) {
      const Column& column = *std::find_if(kColumns.begin(), kColumns.end(),
                                           [&](const Column& c) { return name == c.name; });
      if (!exec("ALTER TABLE items ADD COLUMN " + name + type(column))) {
        exec("ROLLBACK");
        return false;
      }
    }
    return exec("COMMIT");
  }

  bool exec(const std::string& sql) {
    return sql.empty() || sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  sqlite3_stmt* prepare(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      return nullptr;
    }
    return statement;
  }
  static void bindText(sqlite3_stmt* statement, int index, const std::string& text, bool blob) {
    if (blob) {
      sqlite3_bind_blob(statement, index, text.data(), static_cast<int>(text.size()),
                        SQLITE_TRANSIENT);
    } else {
      sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                        SQLITE_TRANSIENT);
    }
  }
  static std::string columnText(sqlite3_stmt* statement, int index) {
    const void* bytes = sqlite3_column_blob(statement, index);
    int length = sqlite3_column_bytes(statement, index);
    return bytes ? std::string(static_cast<const char*>(bytes), length) : std::string();
  }

  sqlite3* db_ = nullptr;
  bool ok_ = false;
  bool committed_ = false;
};

// Calls of this process take turns; other processes wait on the file's lock.
std::mutex& storeMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

OSStatus SecItemAdd(const Dictionary& attributes, std::optional<Value>* result) {
  Query query;
  if (!parse(attributes, &query, true, false, true) || !query.itemClass) return errSecParam;
  Item item;
  item.itemClass = *query.itemClass;
  for (std::size_t i = 0; i < kColumns.size(); ++i) {
    if (query.fields[i]) item.fields[i] = *query.fields[i];
  }
  std::size_t accessible = indexOf(kSecAttrAccessible);
  if (!query.fields[accessible]) item.fields[accessible] = kSecAttrAccessibleWhenUnlocked;
  item.data = query.data.value_or(Data());

  std::lock_guard lock(storeMutex());
  Store store;
  if (!store.ok()) return errSecIO;
  Query same;
  same.itemClass = item.itemClass;
  std::vector<Item> existing;
  if (!store.select(same, &existing)) return errSecIO;
  for (const Item& other : existing) {
    if (identityOf(other) == identityOf(item)) return errSecDuplicateItem;
  }
  if (!store.write(item) || !store.commit()) return errSecIO;
  if (result) *result = Value(attributesOf(item, false));
  return errSecSuccess;
}

OSStatus SecItemCopyMatching(const Dictionary& query, std::optional<Value>* result) {
  Query parsed;
  if (!parse(query, &parsed, false, true, true) || !parsed.itemClass) return errSecParam;
  std::lock_guard lock(storeMutex());
  Store store;
  std::vector<Item> items;
  if (!store.ok() || !store.select(parsed, &items, !parsed.matchAll)) return errSecIO;
  if (items.empty()) return errSecItemNotFound;
  if (result) {
    Array answers;
    for (const Item& item : items) {
      if (parsed.returnAttributes) {
        answers.emplace_back(attributesOf(item, parsed.returnData));
      } else if (parsed.returnData) {
        answers.emplace_back(item.data);
      }
    }
    if (!parsed.returnAttributes && !parsed.returnData) {
      result->reset();
    } else if (parsed.matchAll) {
      *result = Value(std::move(answers));
    } else {
      *result = std::move(answers.front());
    }
  }
  return errSecSuccess;
}

OSStatus SecItemUpdate(const Dictionary& query, const Dictionary& attributesToUpdate) {
  Query parsed;
  Query update;
  if (!parse(query, &parsed, false, false, true) || !parsed.itemClass ||
      !parse(attributesToUpdate, &update, true, false, false)) {
    return errSecParam;
  }
  std::lock_guard lock(storeMutex());
  Store store;
  std::vector<Item> matched;
  if (!store.ok() || !store.select(parsed, &matched)) return errSecIO;
  if (matched.empty()) return errSecItemNotFound;
  Query sameClass;
  sameClass.itemClass = parsed.itemClass;
  std::vector<Item> all;
  if (!store.select(sameClass, &all)) return errSecIO;
  for (Item& item : matched) {
    for (std::size_t i = 0; i < kColumns.size(); ++i) {
      if (update.fields[i]) item.fields[i] = *update.fields[i];
    }
    if (update.data) item.data = *update.data;
  }
  // The store after the change must still hold one item per identity.
  for (Item& item : all) {
    for (const Item& changed : matched) {
      if (changed.id == item.id) item = changed;
    }
  }
  for (std::size_t a = 0; a < all.size(); ++a) {
    for (std::size_t b = a + 1; b < all.size(); ++b) {
      if (identityOf(all[a]) == identityOf(all[b])) return errSecDuplicateItem;
    }
  }
  for (const Item& item : matched) {
    if (!store.write(item)) return errSecIO;
  }
  return store.commit() ? errSecSuccess : errSecIO;
}

OSStatus SecItemDelete(const Dictionary& query) {
  Query parsed;
  if (!parse(query, &parsed, false, false, true) || !parsed.itemClass) return errSecParam;
  std::lock_guard lock(storeMutex());
  Store store;
  std::vector<Item> matched;
  if (!store.ok() || !store.select(parsed, &matched)) return errSecIO;
  if (matched.empty()) return errSecItemNotFound;
  for (const Item& item : matched) {
    if (!store.remove(item.id)) return errSecIO;
  }
  return store.commit() ? errSecSuccess : errSecIO;
}

}  // namespace platform
