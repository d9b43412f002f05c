#include "platform/sqlite_database.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/files.h"
#include "platform/set_aside.h"
#include "platform/system_log.h"

namespace platform {
namespace {

// The files SQLite keeps beside a database while it is in use.
constexpr const char* kCompanionSuffixes[] = {"-journal", "-wal", "-shm"};

// Sized for our own statements: the widest table has under twenty columns, an upload removes
// at most ten thousand rows by id in one statement, a deletion of filters chains a few hundred
// conditions (SQLite's own expression depth of 1000 stays), and a stored value is a few
// megabytes.
constexpr std::pair<int, int> kLimits[] = {
    {SQLITE_LIMIT_LENGTH, 64 << 20},
    {SQLITE_LIMIT_SQL_LENGTH, 1 << 20},
    {SQLITE_LIMIT_COLUMN, 128},
    {SQLITE_LIMIT_COMPOUND_SELECT, 10},
    {SQLITE_LIMIT_VDBE_OP, 200000},
    {SQLITE_LIMIT_FUNCTION_ARG, 16},
    {SQLITE_LIMIT_ATTACHED, 0},
    {SQLITE_LIMIT_LIKE_PATTERN_LENGTH, 1000},
    {SQLITE_LIMIT_VARIABLE_NUMBER, 32766},
    {SQLITE_LIMIT_TRIGGER_DEPTH, 1},
    {SQLITE_LIMIT_WORKER_THREADS, 0},
};

// More objects than any file of ours holds by far.
constexpr int kMaxSchemaObjects = 1000;
// How often, in virtual-machine steps, the running statements are looked at: rarely enough
// that walking them costs nothing measurable.
constexpr int kProgressInterval = 100000;

// ---- Work per statement

// SQLite calls the progress handler every so many steps of whichever statement runs, and
// counts a statement's steps only when it returns, so the handler tells runs apart itself:
// it notes which statements are running, each with the number of its run, and counts the
// looks at which that set stayed the same. A new run of any statement, or one ending, starts
// the count again; one run that goes on and on is interrupted.
struct StatementBounds {
  sqlite3* db = nullptr;
  std::vector<std::pair<sqlite3_stmt*, int>> running;
  std::vector<std::pair<sqlite3_stmt*, int>> scratch;
  std::int64_t unchangedLooks = 0;
};

int interruptRunawayStatement(void* context) {
  auto* bounds = static_cast<StatementBounds*>(context);
  bounds->scratch.clear();
  for (sqlite3_stmt* statement = sqlite3_next_stmt(bounds->db, nullptr); statement != nullptr;
       statement = sqlite3_next_stmt(bounds->db, statement)) {
    if (sqlite3_stmt_busy(statement)) {
      bounds->scratch.emplace_back(statement,
                                   sqlite3_stmt_status(statement, SQLITE_STMTSTATUS_RUN, 0));
    }
  }
  if (bounds->scratch != bounds->running) {
    bounds->running.swap(bounds->scratch);
    bounds->unchangedLooks = 0;
    return 0;
  }
  if (++bounds->unchangedLooks * kProgressInterval <= kSQLiteStatementStepBudget) return 0;
  // The interrupted statement is usually finalized next, and a statement prepared after it
  // may get its address: left as it is, the count would stop that one at its first look.
  bounds->running.clear();
  bounds->unchangedLooks = 0;
  return 1;
}

// The bounds live as long as the connection: SQLite destroys a collation's argument when the
// connection closes, which no caller can forget. The collation is never used by name.
int unusedCollation(void*, int, const void*, int, const void*) { return 0; }
void destroyBounds(void* context) { delete static_cast<StatementBounds*>(context); }

int bindConnection(sqlite3* db) {
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
  for (const auto& [limit, value] : kLimits) sqlite3_limit(db, limit, value);
  auto* bounds = new StatementBounds;
  bounds->db = db;
  const int rc = sqlite3_create_collation_v2(db, "vilmo_statement_bounds", SQLITE_UTF8, bounds,
                                             unusedCollation, destroyBounds);
  if (rc != SQLITE_OK) {
    delete bounds;
    return rc;
  }
  sqlite3_progress_handler(db, kProgressInterval, interruptRunawayStatement, bounds);
  return SQLITE_OK;
}

// ---- Reading CREATE texts

struct Token {
  enum Kind { Word, Literal, Punctuation } kind;
  std::string text;  // words in upper case
};

bool isWordStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool isWordPart(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Only what our texts are made of: words, numbers, '...' strings, x'..' blobs, parentheses,
// commas and signs. Quoted names, comments, other characters: nothing.
std::optional<std::vector<Token>> tokenize(const std::string& text) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      ++i;
    } else if ((c == 'x' || c == 'X') && i + 1 < text.size() && text[i + 1] == '\'') {
      std::size_t end = i + 2;
      while (end < text.size() && std::isxdigit(static_cast<unsigned char>(text[end]))) ++end;
      if (end >= text.size() || text[end] != '\'' || (end - i) % 2 != 0) return std::nullopt;
      std::string blob = text.substr(i, end + 1 - i);
      for (char& b : blob) b = static_cast<char>(std::toupper(static_cast<unsigned char>(b)));
      tokens.push_back({Token::Literal, blob});
      i = end + 1;
    } else if (isWordStart(c)) {
      std::size_t end = i;
      std::string word;
      while (end < text.size() && isWordPart(text[end])) {
        word += static_cast<char>(std::toupper(static_cast<unsigned char>(text[end++])));
      }
      tokens.push_back({Token::Word, word});
      i = end;
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      std::size_t end = i;
      while (end < text.size() &&
             (std::isdigit(static_cast<unsigned char>(text[end])) || text[end] == '.')) {
        ++end;
      }
      tokens.push_back({Token::Literal, text.substr(i, end - i)});
      i = end;
    } else if (c == '\'') {
      std::size_t end = i + 1;
      while (true) {
        if (end >= text.size()) return std::nullopt;
        if (text[end] == '\'') {
          if (end + 1 < text.size() && text[end + 1] == '\'') {
            end += 2;
            continue;
          }
          break;
        }
        ++end;
      }
      tokens.push_back({Token::Literal, text.substr(i, end + 1 - i)});
      i = end + 1;
    } else if (c == '(' || c == ')' || c == ',' || c == '+' || c == '-') {
      tokens.push_back({Token::Punctuation, std::string(1, c)});
      ++i;
    } else {
      return std::nullopt;
    }
  }
  return tokens;
}

std::string joined(const std::vector<Token>& tokens, std::size_t begin, std::size_t end) {
  std::string text;
  for (std::size_t i = begin; i < end; ++i) text += (text.empty() ? "" : " ") + tokens[i].text;
  return text;
}

// A column declaration of the plain form: type words, NOT NULL, PRIMARY KEY [ASC|DESC]
// [AUTOINCREMENT], UNIQUE, DEFAULT and a literal (signed number, string, blob or NULL).
bool isPlainDeclaration(const std::vector<Token>& tokens, std::size_t begin, std::size_t end) {
  static const char* const kWords[] = {"INTEGER", "INT",  "REAL",          "TEXT",    "BLOB",
                                       "NUMERIC", "NOT",  "NULL",          "PRIMARY", "KEY",
                                       "ASC",     "DESC", "AUTOINCREMENT", "UNIQUE"};
  for (std::size_t i = begin; i < end; ++i) {
    const Token& token = tokens[i];
    if (token.kind == Token::Word && token.text == "DEFAULT") {
      if (++i < end && (tokens[i].text == "+" || tokens[i].text == "-")) ++i;
      if (i >= end || (tokens[i].kind != Token::Literal && tokens[i].text != "NULL")) return false;
      continue;
    }
    if (token.kind != Token::Word ||
        std::none_of(std::begin(kWords), std::end(kWords),
                     [&](const char* word) { return token.text == word; })) {
      return false;
    }
  }
  return true;
}

// A table constraint of the plain form: PRIMARY KEY or UNIQUE over a list of column names.
bool isPlainConstraint(const std::vector<Token>& tokens, std::size_t begin, std::size_t end) {
  std::size_t i = begin;
  if (i < end && tokens[i].text == "UNIQUE") {
    ++i;
  } else if (i + 1 < end && tokens[i].text == "PRIMARY" && tokens[i + 1].text == "KEY") {
    i += 2;
  } else {
    return false;
  }
  if (i >= end || tokens[i++].text != "(") return false;
  for (bool name = true; i < end; ++i, name = !name) {
    if (name) {
      if (tokens[i].kind != Token::Word) return false;
    } else if (tokens[i].text == ")") {
      return i + 1 == end;
    } else if (tokens[i].text != ",") {
      return false;
    }
  }
  return false;
}

struct ParsedTable {
  std::string name;                                          // upper case
  std::vector<std::pair<std::string, std::string>> columns;  // name (upper case), declaration
  std::vector<std::string> constraints;
};

bool isConstraintStart(const Token& token) {
  return token.kind == Token::Word &&
         (token.text == "PRIMARY" || token.text == "UNIQUE" || token.text == "CHECK" ||
          token.text == "FOREIGN" || token.text == "CONSTRAINT");
}

std::optional<ParsedTable> parseCreateTable(const std::string& sql, std::string* problem) {
  const auto tokens = tokenize(sql);
  if (!tokens) {
    *problem = "a CREATE text with characters we never write";
    return std::nullopt;
  }
  const std::vector<Token>& t = *tokens;
  if (t.size() < 5 || t[0].text != "CREATE" || t[1].text != "TABLE" || t[2].kind != Token::Word ||
      t[3].text != "(" || t.back().text != ")") {
    *problem = "a CREATE text not of the form CREATE TABLE name (...)";
    return std::nullopt;
  }
  ParsedTable table;
  table.name = t[2].text;
  std::size_t itemStart = 4;
  int depth = 0;
  for (std::size_t i = 4; i < t.size(); ++i) {
    if (t[i].text == "(") ++depth;
    if (depth > 0 && t[i].text == ")") {
      --depth;
      continue;
    }
    const bool last = i + 1 == t.size();
    if (depth > 0 || (t[i].text != "," && !last)) continue;
    if (itemStart == i) {
      *problem = "an empty item in a CREATE text";
      return std::nullopt;
    }
    if (isConstraintStart(t[itemStart])) {
      if (!isPlainConstraint(t, itemStart, i)) {
        *problem = "a table constraint we never write: " + joined(t, itemStart, i);
        return std::nullopt;
      }
      table.constraints.push_back(joined(t, itemStart, i));
    } else {
      if (t[itemStart].kind != Token::Word || !table.constraints.empty() ||
          !isPlainDeclaration(t, itemStart + 1, i)) {
        *problem = "a column definition we never write: " + joined(t, itemStart, i);
        return std::nullopt;
      }
      table.columns.emplace_back(t[itemStart].text, joined(t, itemStart + 1, i));
    }
    itemStart = i + 1;
  }
  if (itemStart != t.size() || table.columns.empty()) {
    *problem = "a CREATE text with more after its column list";
    return std::nullopt;
  }
  return table;
}

std::string normalized(const std::string& text) {
  const auto tokens = tokenize(text);
  return tokens ? joined(*tokens, 0, tokens->size()) : std::string("\x01unreadable");
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// ---- The comparison

struct Verdict {
  int rc = SQLITE_OK;  // a failure that says nothing about the file
  std::string damage;  // why the file is refused
};

// Errors of reading the schema that come from the file itself, or from it needing more than
// the bounds allow; the others (locks, I/O, permissions) are passing and leave the file alone.
bool isTheFilesFault(int rc) {
  switch (rc & 0xff) {
  case SQLITE_CORRUPT:
  case SQLITE_NOTADB:
  case SQLITE_TOOBIG:
  case SQLITE_NOMEM:
  case SQLITE_ERROR:
  case SQLITE_INTERRUPT:
  case SQLITE_FORMAT:
  case SQLITE_RANGE:
  case SQLITE_SCHEMA:
    return true;
  default:
    return false;
  }
}

Verdict failure(sqlite3* db, int rc, const char* what) {
  Verdict verdict;
  if (isTheFilesFault(rc)) {
    verdict.damage = std::string(what) + ": " + sqlite3_errmsg(db);
  } else {
    verdict.rc = rc;
  }
  return verdict;
}

std::string columnText(sqlite3_stmt* statement, int column) {
  const unsigned char* text = sqlite3_column_text(statement, column);
  return text ? std::string(reinterpret_cast<const char*>(text),
                            static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
              : std::string();
}

const SQLiteTableShape* shapeNamed(const SQLiteSchema& schema, const std::string& name) {
  for (const SQLiteTableShape& shape : schema.tables) {
    if (shape.name == name) return &shape;
  }
  return nullptr;
}

std::string compareTable(const SQLiteSchema& schema, const std::string& name,
                         const ParsedTable& parsed) {
  if (parsed.name != upper(name)) return "table " + name + " created under another name";
  if (schema.anyPlainTable) return {};
  const SQLiteTableShape* shape = shapeNamed(schema, name);
  if (!shape) return "unknown table " + name;
  for (const auto& entry : parsed.columns) {
    const std::string& column = entry.first;
    const std::string& declaration = entry.second;
    const auto known = std::find_if(shape->columns.begin(), shape->columns.end(),
                                    [&](const auto& c) { return upper(c.name) == column; });
    if (known == shape->columns.end()) return "unknown column " + column + " in " + name;
    if (std::none_of(known->declarations.begin(), known->declarations.end(),
                     [&](const std::string& d) { return normalized(d) == declaration; })) {
      return "column " + column + " of " + name + " declared " + declaration;
    }
  }
  for (const std::string& constraint : parsed.constraints) {
    if (std::none_of(shape->constraints.begin(), shape->constraints.end(),
                     [&](const std::string& c) { return normalized(c) == constraint; })) {
      return "table constraint " + constraint + " of " + name;
    }
  }
  return {};
}

// The column list SQLite itself reads from the table, hidden columns included, must be the
// one read from the text.
Verdict compareColumnsSQLiteReports(sqlite3* db, const std::string& name,
                                    const ParsedTable& parsed) {
  sqlite3_stmt* statement = nullptr;
  const std::string sql = "PRAGMA table_xinfo(" + name + ")";
  int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
  if (rc != SQLITE_OK) return failure(db, rc, "reading the columns of a table");
  std::vector<std::string> columns;
  bool hidden = false;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW && columns.size() <= parsed.columns.size()) {
    columns.push_back(upper(columnText(statement, 1)));
    hidden = hidden || sqlite3_column_int(statement, 6) != 0;
  }
  const bool done = rc == SQLITE_DONE || rc == SQLITE_ROW;
  sqlite3_finalize(statement);
  if (!done) return failure(db, rc, "reading the columns of a table");
  std::vector<std::string> fromText;
  for (const auto& column : parsed.columns) fromText.push_back(column.first);
  Verdict verdict;
  if (hidden || columns != fromText) verdict.damage = "table " + name + " read two ways";
  return verdict;
}

bool isAutoIndexName(const std::string& name, const std::string& table) {
  const std::string prefix = "sqlite_autoindex_" + table + "_";
  return name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
         std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

Verdict checkSchema(sqlite3* db, const SQLiteSchema& schema) {
  SQLiteValidationScope heapLimit;
  sqlite3_stmt* statement = nullptr;
  // The first statement on the connection: SQLite reads and parses the whole schema here.
  int rc = sqlite3_prepare_v2(db, "SELECT type, name, tbl_name, sql FROM sqlite_master", -1,
                              &statement, nullptr);
  if (rc != SQLITE_OK) return failure(db, rc, "reading the schema");
  struct Object {
    std::string type, name, table, sql;
    bool hasSQL;
  };
  std::vector<Object> objects;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW && objects.size() <= kMaxSchemaObjects) {
    objects.push_back({columnText(statement, 0), columnText(statement, 1), columnText(statement, 2),
                       columnText(statement, 3), sqlite3_column_type(statement, 3) != SQLITE_NULL});
  }
  const bool done = rc == SQLITE_DONE || rc == SQLITE_ROW;
  sqlite3_finalize(statement);
  if (!done) return failure(db, rc, "reading the schema");
  Verdict verdict;
  if (objects.size() > kMaxSchemaObjects) {
    verdict.damage = "more than " + std::to_string(kMaxSchemaObjects) + " schema objects";
    return verdict;
  }

  std::vector<std::pair<std::string, ParsedTable>> tables;
  for (const Object& object : objects) {
    if (object.type == "table" && object.name == "sqlite_sequence") {
      // SQLite's own record of AUTOINCREMENT keys, always made with this text.
      if (object.sql != "CREATE TABLE sqlite_sequence(name,seq)" || object.table != object.name) {
        verdict.damage = "a doctored sqlite_sequence";
        return verdict;
      }
      if (!schema.anyPlainTable && !shapeNamed(schema, object.name)) {
        verdict.damage = "unknown table sqlite_sequence";
        return verdict;
      }
      continue;
    }
    if (object.type == "index" && !object.hasSQL && isAutoIndexName(object.name, object.table)) {
      continue;  // its definition is the table's key, checked with the table
    }
    if (object.type != "table" || !object.hasSQL || object.table != object.name ||
        object.name.starts_with("sqlite_")) {
      verdict.damage = object.type + " " + object.name + " that we never create";
      return verdict;
    }
    std::string problem;
    auto parsed = parseCreateTable(object.sql, &problem);
    if (!parsed) {
      verdict.damage = "table " + object.name + " has " + problem;
      return verdict;
    }
    verdict.damage = compareTable(schema, object.name, *parsed);
    if (!verdict.damage.empty()) return verdict;
    tables.emplace_back(object.name, std::move(*parsed));
  }
  for (const auto& [name, parsed] : tables) {
    verdict = compareColumnsSQLiteReports(db, name, parsed);
    if (verdict.rc != SQLITE_OK || !verdict.damage.empty()) return verdict;
  }
  return verdict;
}

// ---- Setting a file aside

bool setAside(const std::string& path, std::string* aside, std::string* problem) {
  struct stat attributes {};
  if (::lstat(path.c_str(), &attributes) != 0 || !S_ISREG(attributes.st_mode)) {
    *problem = "it is not a regular file";
    return false;
  }
  const std::string stamp = setAsideTimestamp();
  ErrorPtr error;
  auto moved = setAsideAsDamaged(path, stamp, &error);
  if (!moved) {
    *problem = error ? error->description() : std::string("no free name to move it to");
    return false;
  }
  *aside = std::move(*moved);
  for (const char* suffix : kCompanionSuffixes) {
    const std::string companion = path + suffix;
    if (::lstat(companion.c_str(), &attributes) == 0) {
      // A companion left in place would be taken for the new file's own journal.
      if (!setAsideAsDamaged(companion, stamp)) ::unlink(companion.c_str());
    }
  }
  return true;
}

// Our files are private: a new one is 0600 before SQLite writes a byte, and SQLite gives its
// journals the file's mode.
void createPrivately(const std::string& path, int flags) {
  if ((flags & SQLITE_OPEN_CREATE) == 0) return;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) ::close(fd);
}

int openBound(const std::string& path, int flags, int busyTimeout, sqlite3** handle) {
  createPrivately(path, flags);
  int rc = sqlite3_open_v2(path.c_str(), handle, flags, nullptr);
  if (rc == SQLITE_OK) rc = bindConnection(*handle);
  if (rc == SQLITE_OK && busyTimeout > 0) sqlite3_busy_timeout(*handle, busyTimeout);
  return rc;
}

void closeHandle(sqlite3** handle) {
  sqlite3_close(*handle);
  *handle = nullptr;
}

}  // namespace

int openSQLiteDatabase(const std::string& path, const SQLiteOpenOptions& options,
                       sqlite3** handle) {
  const int flags = options.flags != 0 ? options.flags : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  auto log = [&options](const std::string& line) {
    if (options.log) {
      options.log(line);
    } else {
      SystemLog::write(SystemLog::Warning, line);
    }
  };
  *handle = nullptr;
  int rc = openBound(path, flags, options.busyTimeoutMilliseconds, handle);
  if (rc != SQLITE_OK) return rc;
  Verdict verdict = checkSchema(*handle, options.schema);
  if (verdict.rc != SQLITE_OK) return verdict.rc;
  if (verdict.damage.empty()) return SQLITE_OK;

  closeHandle(handle);
  std::string aside, problem;
  if (!setAside(path, &aside, &problem)) {
    log("SQLite file " + path + " is damaged (" + verdict.damage +
        ") and cannot be set aside: " + problem);
    return SQLITE_CORRUPT;
  }
  log("SQLite file " + path + " is damaged (" + verdict.damage + "); set aside as " + aside);
  rc = openBound(path, flags, options.busyTimeoutMilliseconds, handle);
  if (rc != SQLITE_OK) return rc;
  verdict = checkSchema(*handle, options.schema);
  if (verdict.rc != SQLITE_OK) return verdict.rc;
  return verdict.damage.empty() ? SQLITE_OK : SQLITE_CORRUPT;
}

namespace {

struct HeapLimitState {
  std::mutex mutex;
  int scopes = 0;
  sqlite3_int64 previous = 0;
  // Setting a hard limit lowers an unset soft one to it, and lifting the hard limit leaves
  // the soft one there: it is put back too.
  sqlite3_int64 previousSoft = 0;
};

HeapLimitState& heapLimitState() {
  static HeapLimitState* const state = new HeapLimitState;  // used until the process ends
  return *state;
}

}  // namespace

SQLiteValidationScope::SQLiteValidationScope() {
  HeapLimitState& state = heapLimitState();
  std::lock_guard lock(state.mutex);
  const sqlite3_int64 wanted = sqlite3_memory_used() + kSQLiteValidationHeapAllowance;
  const sqlite3_int64 current = sqlite3_hard_heap_limit64(-1);
  if (state.scopes++ == 0) {
    state.previous = current;
    state.previousSoft = sqlite3_soft_heap_limit64(-1);
    if (current == 0 || current > wanted) sqlite3_hard_heap_limit64(wanted);
  } else if (current != 0 && current < wanted &&
             (state.previous == 0 || wanted <= state.previous)) {
    // An overlapping check gets its own allowance too.
    sqlite3_hard_heap_limit64(wanted);
  }
}

SQLiteValidationScope::~SQLiteValidationScope() {
  HeapLimitState& state = heapLimitState();
  std::lock_guard lock(state.mutex);
  if (--state.scopes == 0) {
    sqlite3_hard_heap_limit64(state.previous);
    sqlite3_soft_heap_limit64(state.previousSoft);
  }
}

}  // namespace platform
