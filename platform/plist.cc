#include "platform/plist.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/binary_plist.h"
#include "platform/c_locale.h"
#include "platform/files.h"
#include "platform/text.h"

namespace platform::plist {

namespace {

constexpr const char* kUIDKey = "CF$UID";

struct NodeDeleter {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

struct FreeDeleter {
  void operator()(void* memory) const { std::free(memory); }
};

ErrorPtr makeCocoaError(std::int64_t code, const std::string& description, Dictionary extra = {},
                        ErrorPtr underlying = nullptr) {
  Dictionary userInfo{{kLocalizedDescriptionKey, description}};
  for (auto& [key, value] : extra) userInfo.set(key, std::move(value));
  return makeError(kCocoaErrorDomain, code, std::move(userInfo), std::move(underlying));
}

// --- Reading ------------------------------------------------------------------

// The library keeps one integer kind for both signednesses and remembers, per node,
// whether a value with the top bit set was written unsigned. Its comparison takes that
// mark into account, so comparing with a fresh (signed) node of the same bits tells.
bool isNegativeInteger(plist_t node, std::uint64_t bits) {
  if (bits <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
  const Node reference(plist_new_uint(bits));
  return plist_compare_node_value(reference.get(), node) != 0;
}

Value integerValue(std::uint64_t bits, bool negative) {
  if (negative) return Value(static_cast<std::int64_t>(bits));
  if (bits <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return Value(static_cast<std::int64_t>(bits));
  }
  return Value(bits);
}

// Converts the library's tree, which scanXMLNesting has bounded to kMaxNestingDepth + 2
// levels (an empty innermost container is never open, nor an empty top one); containers
// past kMaxNestingDepth are refused here, so the recursion stays bounded as well.
std::optional<Value> toValue(plist_t node, std::size_t depth, std::string& problem) {
  switch (plist_get_node_type(node)) {
  case PLIST_BOOLEAN: {
    std::uint8_t value = 0;
    plist_get_bool_val(node, &value);
    return Value(value != 0);
  }
  case PLIST_UINT: {
    std::uint64_t bits = 0;
    plist_get_uint_val(node, &bits);
    return integerValue(bits, isNegativeInteger(node, bits));
  }
  case PLIST_REAL: {
    double value = 0;
    plist_get_real_val(node, &value);
    return Value(value);
  }
  case PLIST_STRING: {
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (!text) return Value(std::string());
    // The XML is checked for NUL bytes and the library refuses "&#0;"; this is the last word.
    if (std::memchr(text, 0, length)) {
      problem = "A string holds NUL.";
      return std::nullopt;
    }
    return Value(std::string(text, length));
  }
  case PLIST_DATA: {
    std::uint64_t length = 0;
    const char* bytes = plist_get_data_ptr(node, &length);
    return Value(bytes ? Data(bytes, length) : Data());
  }
  case PLIST_DATE: {
    // Whole seconds carry the sign; the microseconds are a magnitude.
    std::int32_t seconds = 0, microseconds = 0;
    plist_get_date_val(node, &seconds, &microseconds);
    const double fraction = std::abs(static_cast<std::int64_t>(microseconds)) / 1e6;
    const double interval = seconds < 0 ? seconds - fraction : seconds + fraction;
    return Value(Date::fromTimeIntervalSinceReferenceDate(interval));
  }
  case PLIST_UID: {
    std::uint64_t value = 0;
    plist_get_uid_val(node, &value);
    return Value(Dictionary{{kUIDKey, integerValue(value, false)}});
  }
  case PLIST_ARRAY: {
    if (depth >= kMaxNestingDepth) {
      problem = "Arrays and dictionaries nest too deeply.";
      return std::nullopt;
    }
    Array array;
    array.reserve(plist_array_get_size(node));
    plist_array_iter iterator = nullptr;
    plist_array_new_iter(node, &iterator);
    std::unique_ptr<void, FreeDeleter> iteratorOwner(iterator);
    for (;;) {
      plist_t item = nullptr;
      plist_array_next_item(node, iterator, &item);
      if (!item) break;
      auto value = toValue(item, depth + 1, problem);
      if (!value) return std::nullopt;
      array.push_back(std::move(*value));
    }
    return Value(std::move(array));
  }
  case PLIST_DICT: {
    if (depth >= kMaxNestingDepth) {
      problem = "Arrays and dictionaries nest too deeply.";
      return std::nullopt;
    }
    Dictionary dictionary;
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(node, &iterator);
    std::unique_ptr<void, FreeDeleter> iteratorOwner(iterator);
    for (;;) {
      // The XML reader makes every key from a C string, so the library's key accessor (which
      // asserts that the length is the C string's) holds.
      char* key = nullptr;
      plist_t item = nullptr;
      plist_dict_next_item(node, iterator, &key, &item);
      std::unique_ptr<char, FreeDeleter> keyOwner(key);
      if (!item) break;
      auto value = toValue(item, depth + 1, problem);
      if (!value) return std::nullopt;
      dictionary.set(key ? key : "", std::move(*value));
    }
    return Value(std::move(dictionary));
  }
  default:
    problem = "Unknown kind of property list object.";
    return std::nullopt;
  }
}

// --- Bounding the XML reader -------------------------------------------------------

// The library's XML reader (libplist 2.2, xplist.c) builds its tree without recursing, but
// freeing the tree recurses once per level. So before it runs, scanXMLNesting walks the
// document the way that reader tokenizes it (the helpers below are its find_char, find_str
// and find_next, and the loop its node_from_xml) and counts the arrays and dictionaries it
// would hold open. The walk may stop early only where the reader stops too: the top object
// done, or a document the reader refuses (that one is refused here as well).
enum class XMLScan { Fits, TooDeep, Refused };

struct XMLCursor {
  const char* pos;
  const char* end;

  std::size_t left() const { return static_cast<std::size_t>(end - pos); }
  bool startsWith(std::string_view text) const {
    return left() >= text.size() && std::memcmp(pos, text.data(), text.size()) == 0;
  }
  void skipSpace() {
    while (pos < end && (*pos == ' ' || *pos == '\t' || *pos == '\r' || *pos == '\n')) ++pos;
  }
  void findChar(char c) {
    while (pos < end && *pos != c) ++pos;
  }
  // Stops on the text, or where fewer than text.size() + 1 characters are left.
  void findText(std::string_view text, bool skipQuotes) {
    while (left() > text.size()) {
      if (std::memcmp(pos, text.data(), text.size()) == 0) break;
      if (skipQuotes && *pos == '"') {
        ++pos;
        findChar('"');
        if (pos >= end) return;
      }
      ++pos;
    }
  }
  void findNext(std::string_view chars, bool skipQuotes) {
    while (pos < end) {
      if (skipQuotes && *pos == '"') {
        ++pos;
        findChar('"');
        if (pos >= end) return;
      }
      if (chars.find(*pos) != std::string_view::npos) return;
      ++pos;
    }
  }
};

// The reader's get_text_parts: the text of a scalar element up to its closing tag, through
// comments and CDATA sections.
bool skipElementText(XMLCursor& c, std::string_view tag) {
  for (;;) {
    c.findChar('<');
    if (c.pos >= c.end) return false;
    ++c.pos;
    if (c.pos >= c.end) return false;
    if (*c.pos == '/') break;
    if (*c.pos != '!') return false;
    ++c.pos;
    if (c.left() <= 1) return false;
    if (c.pos[0] == '-' && c.pos[1] == '-') {
      c.pos += 2;
      c.findText("-->", false);
      if (!c.startsWith("-->")) return false;
      c.pos += 3;
    } else if (c.pos[0] == '[') {
      ++c.pos;
      if (c.left() <= 8 || !c.startsWith("CDATA[")) return false;
      c.pos += 6;
      c.findText("]]>", false);
      if (!c.startsWith("]]>")) return false;
      c.pos += 3;
    } else {
      return false;
    }
  }
  ++c.pos;
  if (c.left() <= tag.size() || !c.startsWith(tag)) return false;
  c.pos += tag.size();
  c.skipSpace();
  if (c.pos >= c.end || *c.pos != '>') return false;
  ++c.pos;
  return true;
}

XMLScan scanXMLNesting(const char* begin, const char* end, std::size_t limit) {
  static constexpr std::string_view kScalarTags[] = {"integer", "real", "true", "false",
                                                     "string",  "key",  "data", "date"};
  XMLCursor c{begin, end};
  std::vector<char> path;  // open elements: 'p' plist, 'd' dict, 'a' array
  std::size_t open = 0;    // arrays and dictionaries among them
  bool haveTop = false;    // the reader has its top object
  bool topOnPath = false;  // and it is an open container (an empty one is not)
  bool hasContent = false;
  while (c.pos < c.end) {
    c.skipSpace();
    if (c.pos >= c.end) break;
    if (*c.pos != '<') return XMLScan::Refused;
    ++c.pos;
    if (c.pos >= c.end) return XMLScan::Refused;
    if (*c.pos == '?') {
      c.findText("?>", true);
      if (!c.startsWith("?>")) return XMLScan::Refused;
      c.pos += 2;
      continue;
    }
    if (*c.pos == '!') {
      if (c.left() > 3 && c.startsWith("!--")) {
        c.pos += 3;
        c.findText("-->", false);
        if (!c.startsWith("-->")) return XMLScan::Refused;
        c.pos += 3;
      } else if (c.left() > 8 && c.startsWith("!DOCTYPE")) {
        bool embedded = false;
        c.pos += 8;
        while (c.pos < c.end) {
          c.findNext(" \t\r\n[>", true);
          if (c.pos >= c.end) return XMLScan::Refused;
          if (*c.pos == '[') {
            embedded = true;
            break;
          }
          if (*c.pos == '>') {
            ++c.pos;
            break;
          }
          c.skipSpace();
        }
        if (embedded) {
          c.findText("]>", true);
          if (!c.startsWith("]>")) return XMLScan::Refused;
          c.pos += 2;
        }
      } else {
        return XMLScan::Refused;
      }
      continue;
    }
    const char* const nameStart = c.pos;
    c.findNext(" \r\n\t<>", false);
    if (c.pos >= c.end) return XMLScan::Refused;
    std::string_view tag(nameStart, static_cast<std::size_t>(c.pos - nameStart));
    const std::size_t tagLength = tag.size();
    if (*c.pos != '>') c.findNext("<>", true);
    if (c.pos >= c.end || *c.pos != '>') return XMLScan::Refused;
    bool empty = false;
    if (c.pos[-1] == '/') {
      const auto slash = static_cast<std::size_t>(c.pos - nameStart - 1);
      if (slash < tag.size()) tag = tag.substr(0, slash);
      empty = true;
    }
    ++c.pos;

    if (tag == "plist") {
      hasContent = false;
      if (path.empty() && haveTop) return XMLScan::Fits;  // a second document: ignored
      if (empty) return XMLScan::Refused;
      path.push_back('p');
      continue;
    }
    if (tag == "/plist") {
      if (!hasContent || path.empty() || path.back() != 'p') return XMLScan::Refused;
      path.pop_back();
      continue;
    }
    hasContent = true;
    const bool container = tag == "dict" || tag == "array";
    bool scalar = false;
    for (std::string_view name : kScalarTags) scalar = scalar || tag == name;
    if (scalar && !empty && !skipElementText(c, std::string_view(nameStart, tagLength))) {
      return XMLScan::Refused;
    }
    if (container || scalar) {
      if (!haveTop) {
        haveTop = true;
        if (!container) return XMLScan::Fits;  // a scalar document ends with its value
        topOnPath = !empty;
      }
      if (container && !empty) {
        path.push_back(tag == "dict" ? 'd' : 'a');
        if (++open > limit) return XMLScan::TooDeep;
      }
      continue;
    }
    if (tag.empty() || tag[0] != '/' || path.empty()) return XMLScan::Refused;
    const std::string_view closing = tag.substr(1);
    const char expected = closing == "dict" ? 'd' : closing == "array" ? 'a' : 0;
    if (!expected || path.back() != expected) return XMLScan::Refused;
    path.pop_back();
    --open;
    // The top container closed: the reader is done.
    if (open == 0 && topOnPath) return XMLScan::Fits;
  }
  return XMLScan::Fits;
}

// --- Writing ------------------------------------------------------------------

// The library's only way to mark a new integer node as unsigned is its own parser.
plist_t newUnsignedNode(std::uint64_t value) {
  const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">"
                          "<integer>" +
                          std::to_string(value) + "</integer></plist>";
  plist_t node = nullptr;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
  return node;
}

std::optional<std::uint64_t> uidReference(const Dictionary& dictionary) {
  if (dictionary.size() != 1) return std::nullopt;
  const Value* value = dictionary.find(kUIDKey);
  if (!value || (value->type() != Value::Type::Int && value->type() != Value::Type::UInt)) {
    return std::nullopt;
  }
  return value->asUInt();
}

// Both formats carry text as Unicode: bytes that are not UTF-8 would be read back as other
// text, and a NUL would end it early.
const char* unwritableTextProblem(const std::string& text) {
  if (text.find('\0') != std::string::npos) return "cannot contain NUL";
  if (!text::isValidUTF8(text)) return "must be valid UTF-8";
  return nullptr;
}

// Containers nest at most as deep as a reader accepts, which also bounds the library's
// recursive writer.
Node toNode(const Value& value, std::string& problem, std::size_t depth = 0) {
  constexpr const char* kTooDeep = "Arrays and dictionaries nest too deeply for a property list.";
  switch (value.type()) {
  case Value::Type::Null:
    problem = "Property lists cannot hold null.";
    return nullptr;
  case Value::Type::Object:
    problem = std::string("Property lists cannot hold objects of class ") +
              value.asObject()->className() + ".";
    return nullptr;
  case Value::Type::Bool:
    return Node(plist_new_bool(*value.asBool() ? 1 : 0));
  case Value::Type::Int:
    // Stored as the same 64 bits; the library writes them back signed.
    return Node(plist_new_uint(static_cast<std::uint64_t>(*value.asInt())));
  case Value::Type::UInt: {
    const std::uint64_t u = *value.asUInt();
    if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return Node(plist_new_uint(u));
    }
    Node node(newUnsignedNode(u));
    if (!node) problem = "Could not store an unsigned integer.";
    return node;
  }
  case Value::Type::Double:
    return Node(plist_new_real(*value.asDouble()));
  case Value::Type::String: {
    const std::string& text = *value.asString();
    if (const char* why = unwritableTextProblem(text)) {
      problem = std::string("Property list strings ") + why + ".";
      return nullptr;
    }
    return Node(plist_new_string(text.c_str()));
  }
  case Value::Type::Data: {
    const Data& data = *value.asData();
    return Node(plist_new_data(reinterpret_cast<const char*>(data.bytes()), data.size()));
  }
  case Value::Type::Date: {
    const double interval = value.asDate()->timeIntervalSinceReferenceDate();
    double whole = std::trunc(interval);
    long long microseconds = std::llround((interval - whole) * 1e6);
    if (microseconds >= 1000000 || microseconds <= -1000000) {
      whole += microseconds > 0 ? 1 : -1;
      microseconds = 0;
    }
    if (!(whole >= std::numeric_limits<std::int32_t>::min() &&
          whole <= std::numeric_limits<std::int32_t>::max())) {
      problem = "Date out of the range a property list can hold.";
      return nullptr;
    }
    return Node(
        plist_new_date(static_cast<std::int32_t>(whole), static_cast<std::int32_t>(microseconds)));
  }
  case Value::Type::Array: {
    if (depth >= kMaxNestingDepth) {
      problem = kTooDeep;
      return nullptr;
    }
    Node array(plist_new_array());
    for (const Value& item : *value.asArray()) {
      Node child = toNode(item, problem, depth + 1);
      if (!child) return nullptr;
      plist_array_append_item(array.get(), child.release());
    }
    return array;
  }
  case Value::Type::Dictionary: {
    const Dictionary& dictionary = *value.asDictionary();
    if (auto uid = uidReference(dictionary)) return Node(plist_new_uid(*uid));
    if (depth >= kMaxNestingDepth) {
      problem = kTooDeep;
      return nullptr;
    }
    Node node(plist_new_dict());
    for (const auto& [key, item] : dictionary) {
      if (const char* why = unwritableTextProblem(key)) {
        problem = std::string("Property list keys ") + why + ".";
        return nullptr;
      }
      Node child = toNode(item, problem, depth + 1);
      if (!child) return nullptr;
      plist_dict_set_item(node.get(), key.c_str(), child.release());
    }
    return node;
  }
  }
  return nullptr;
}

void reportCorrupt(ErrorPtr* error, const std::string& detail) {
  if (error) {
    *error = makeCocoaError(kReadCorruptError,
                            "The data couldn\u2019t be read because it isn\u2019t in the correct "
                            "format.",
                            Dictionary{{kDebugDescriptionErrorKey, detail}});
  }
}

ErrorPtr fileError(std::int64_t code, const std::string& path, ErrorPtr underlying) {
  const std::string name = path.substr(path.find_last_of('/') + 1);
  const std::string reason = code == kFileReadNoSuchFileError
                                 ? "there is no such file."
                                 : "it isn\u2019t in the correct format.";
  const std::string description =
      "The file \u201c" + name + "\u201d couldn\u2019t be opened because " + reason;
  return makeCocoaError(code, description, Dictionary{{kFilePathErrorKey, path}},
                        std::move(underlying));
}

}  // namespace

std::optional<Value> parse(const Data& data, ErrorPtr* error) {
  if (data.size() > std::numeric_limits<std::uint32_t>::max()) {
    reportCorrupt(error, "Too large for a property list.");
    return std::nullopt;
  }
  // Binary lists are read by our own bounded reader, never by the library's.
  if (isBinaryPropertyList(data.bytes(), data.size())) {
    std::string problem;
    auto value = readBinaryPropertyList(data.bytes(), data.size(), &problem);
    if (!value) reportCorrupt(error, problem);
    return value;
  }
  const char* const text = reinterpret_cast<const char*>(data.bytes());
  // As the library's own format detection: fewer than 8 bytes are no property list.
  if (data.size() < 8) {
    reportCorrupt(error, "Not an XML or binary property list.");
    return std::nullopt;
  }
  // XML has no NUL character; the library would cut text short at one.
  if (std::memchr(text, 0, data.size())) {
    reportCorrupt(error, "The XML holds a NUL character.");
    return std::nullopt;
  }
  switch (scanXMLNesting(text, text + data.size(), kMaxNestingDepth)) {
  case XMLScan::Fits:
    break;
  case XMLScan::TooDeep:
    reportCorrupt(error, "Arrays and dictionaries nest too deeply.");
    return std::nullopt;
  case XMLScan::Refused:
    reportCorrupt(error, "Not an XML or binary property list.");
    return std::nullopt;
  }
  plist_t root = nullptr;
  {
    // The library reads XML reals with the C library, which follows the process locale.
    const CLocaleScope cLocale;
    plist_from_xml(text, static_cast<std::uint32_t>(data.size()), &root);
  }
  const Node owner(root);
  if (!root) {
    reportCorrupt(error, "Not an XML or binary property list.");
    return std::nullopt;
  }
  std::string problem;
  auto value = toValue(root, 0, problem);
  if (!value) reportCorrupt(error, problem);
  return value;
}

std::optional<Data> write(const Value& value, Format format, ErrorPtr* error) {
  std::string problem;
  const Node root = toNode(value, problem);
  if (!root) {
    if (error) {
      *error = makeCocoaError(kWriteInvalidError,
                              "The data couldn\u2019t be written because it isn\u2019t in the "
                              "correct format.",
                              Dictionary{{kDebugDescriptionErrorKey, problem}});
    }
    return std::nullopt;
  }
  char* bytes = nullptr;
  std::uint32_t length = 0;
  std::optional<Data> result;
  const CLocaleScope cLocale;
  if (format == Format::XML) {
    plist_to_xml(root.get(), &bytes, &length);
    if (bytes) result = Data(bytes, length);
    plist_to_xml_free(bytes);
  } else {
    plist_to_bin(root.get(), &bytes, &length);
    if (bytes) result = Data(bytes, length);
    plist_to_bin_free(bytes);
  }
  if (!result && error) {
    *error = makeCocoaError(kWriteInvalidError, "The property list could not be written.");
  }
  return result;
}

std::optional<Value> readFile(const std::string& path, ErrorPtr* error) {
  ErrorPtr readError;
  const auto data = platform::readFile(path, &readError);
  if (!data) {
    if (error) {
      const bool missing = readError && readError->code() == kFileReadNoSuchFileError;
      *error = fileError(missing ? kFileReadNoSuchFileError : kFileReadCorruptFileError, path,
                         readError);
    }
    return std::nullopt;
  }
  ErrorPtr parseError;
  auto value = parse(*data, &parseError);
  if (!value && error) *error = fileError(kFileReadCorruptFileError, path, parseError);
  return value;
}

std::optional<Dictionary> readDictionaryFile(const std::string& path, ErrorPtr* error) {
  auto value = readFile(path, error);
  if (!value) return std::nullopt;
  if (Dictionary* dictionary = value->asDictionary()) return std::move(*dictionary);
  if (error) *error = fileError(kFileReadCorruptFileError, path, nullptr);
  return std::nullopt;
}

bool writeFile(const Value& value, const std::string& path, Format format, ErrorPtr* error) {
  const auto data = write(value, format, error);
  return data && writeFileAtomically(path, *data, error);
}

}  // namespace platform::plist
