#include "vilmo/reorg/FolderResponse.h"

#include <sstream>
#include <string_view>
#include <utility>

#include "platform/files.h"
#include "platform/json.h"
#include "platform/value.h"
#include "vilmo/reorg/Containment.h"

namespace fs = std::filesystem;

namespace {

// Reads the answer's JSON values into the structs, saying where the first mismatch is.
class Decoder {
 public:
  bool decodeRoot(const platform::Value& value, FolderResponse& response) {
    const platform::Dictionary* object = requireObject(value, "the answer");
    if (!object) {
      return false;
    }
    return readContents(*object, "", response.contents, /*required=*/true) &&
           readString(*object, "", "folderName", response.folderName) &&
           readString(*object, "", "type", response.type);
  }

  std::string error;

 private:
  const platform::Dictionary* requireObject(const platform::Value& value,
                                            const std::string& where) {
    const platform::Dictionary* object = value.asDictionary();
    if (!object) {
      error = "Expected an object for " + where + " but found " + kindOf(value) + ".";
      return nullptr;
    }
    return object;
  }

  static std::string kindOf(const platform::Value& value) {
    if (value.isNull()) return "null";
    if (value.isBool()) return "a Boolean";
    if (value.isNumber()) return "a number";
    if (value.isString()) return "a string";
    if (value.isArray()) return "an array";
    return "an object";
  }

  static std::string at(const std::string& where, const char* key) {
    return where.empty() ? std::string("\"") + key + "\""
                         : "\"" + std::string(key) + "\" at " + where;
  }

  // A required key may be neither absent nor null; an optional one may be either.
  const platform::Value* lookUp(const platform::Dictionary& object, const std::string& where,
                                const char* key, bool required) {
    const platform::Value* value = object.find(key);
    if (value && !value->isNull()) {
      return value;
    }
    if (required) {
      error = value ? "Expected a value for " + at(where, key) + " but found null."
                    : "No value associated with key " + at(where, key) + ".";
    }
    return nullptr;
  }

  bool readString(const platform::Dictionary& object, const std::string& where, const char* key,
                  std::string& out) {
    std::optional<std::string> value;
    if (!readOptionalString(object, where, key, value, /*required=*/true)) {
      return false;
    }
    out = std::move(*value);
    return true;
  }

  bool readOptionalString(const platform::Dictionary& object, const std::string& where,
                          const char* key, std::optional<std::string>& out, bool required = false) {
    const platform::Value* value = lookUp(object, where, key, required);
    if (!value) {
      return error.empty();
    }
    const std::string* text = value->asString();
    if (!text) {
      error = "Expected a string for " + at(where, key) + " but found " + kindOf(*value) + ".";
      return false;
    }
    out = *text;
    return true;
  }

  bool readContents(const platform::Dictionary& object, const std::string& where,
                    std::vector<FolderContent>& out, bool required) {
    const platform::Value* value = lookUp(object, where, "contents", required);
    if (!value) {
      return error.empty();
    }
    const platform::Array* entries = value->asArray();
    if (!entries) {
      error =
          "Expected an array for " + at(where, "contents") + " but found " + kindOf(*value) + ".";
      return false;
    }
    std::string prefix = where.empty() ? "contents" : where + ".contents";
    out.reserve(entries->size());
    for (std::size_t i = 0; i < entries->size(); ++i) {
      std::string place = prefix + "[" + std::to_string(i) + "]";
      const platform::Dictionary* entry = requireObject((*entries)[i], place);
      if (!entry) {
        return false;
      }
      FolderContent content;
      if (const platform::Value* children = entry->find("contents");
          children && !children->isNull()) {
        content.contents.emplace();
        if (!readContents(*entry, place, *content.contents, /*required=*/false)) {
          return false;
        }
      }
      if (!readOptionalString(*entry, place, "folderName", content.folderName) ||
          !readOptionalString(*entry, place, "newPath", content.newPath) ||
          !readOptionalString(*entry, place, "sourcePath", content.sourcePath) ||
          !readString(*entry, place, "type", content.type)) {
        return false;
      }
      out.push_back(std::move(content));
    }
    return true;
  }
};

void quoted(std::ostream& out, const std::string& text) { out << '"' << text << '"'; }

void describe(std::ostream& out, const std::vector<FolderContent>& contents);

void describe(std::ostream& out, const FolderContent& content) {
  out << "FolderContent(type: ";
  quoted(out, content.type);
  const std::pair<const char*, const std::optional<std::string>*> fields[] = {
      {"folderName", &content.folderName},
      {"sourcePath", &content.sourcePath},
      {"newPath", &content.newPath}};
  for (const auto& [key, value] : fields) {
    if (*value) {
      out << ", " << key << ": ";
      quoted(out, **value);
    }
  }
  if (content.contents) {
    out << ", contents: ";
    describe(out, *content.contents);
  }
  out << ')';
}

void describe(std::ostream& out, const std::vector<FolderContent>& contents) {
  out << '[';
  for (std::size_t i = 0; i < contents.size(); ++i) {
    if (i > 0) {
      out << ", ";
    }
    describe(out, contents[i]);
  }
  out << ']';
}

std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    std::size_t slash = path.find('/');
    if (slash != 0) {
      parts.push_back(path.substr(0, slash));
    }
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
  }
  return parts;
}

// Whether a name from the answer stays below the folder it is joined to: no NUL, not
// absolute, no ".." step.
bool staysInside(std::string_view path) {
  if (path.find('\0') != std::string_view::npos || path.starts_with('/')) {
    return false;
  }
  for (std::string_view part : components(path)) {
    if (part == "..") {
      return false;
    }
  }
  return true;
}

// Joins as a path component: one "/" between non-empty parts, repeated and trailing "/"
// dropped.
std::string joinPath(const std::string& parent, std::string_view name) {
  std::string joined;
  for (std::string_view part : components(parent)) {
    joined += joined.empty() ? "" : "/";
    joined += part;
  }
  for (std::string_view part : components(name)) {
    joined += joined.empty() ? "" : "/";
    joined += part;
  }
  return joined;
}

template <typename Node>
void build(const std::vector<FolderContent>& entries, Node& parent, const std::string& parentPath,
           const fs::path& rootURL, Containment& containment, std::set<fs::path>& placed) {
  for (const FolderContent& entry : entries) {
    if (entry.type == "folder") {
      const std::string name = entry.folderName.value_or("");
      if (!staysInside(name)) {
        continue;
      }
      std::string path = joinPath(parentPath, name);
      if (!containment.holds(appendRelativePath(rootURL, path))) {
        continue;
      }
      auto folder = std::make_shared<VirtualSubFolder>(name, path);
      parent.subFolders().push_back(folder);
      if (entry.contents) {
        build(*entry.contents, *folder, path, rootURL, containment, placed);
      }
    } else if (entry.type == "file") {
      const std::string sourcePath = entry.sourcePath.value_or("");
      std::string_view source = trimSlashes(sourcePath);
      std::string newPath = entry.newPath.value_or("");
      if (source.empty() || !staysInside(source) || !staysInside(newPath)) {
        continue;
      }
      // "a/./b" and "a//b" name the scanned file a/b.
      fs::path relative = fs::path(source).lexically_normal();
      if (!relative.has_filename()) {
        relative = relative.parent_path();
      }
      if (relative.empty() || relative == ".") {
        continue;
      }
      fs::path location = rootURL / relative;
      if (!platform::fileExists(location) || !containment.holds(location.parent_path())) {
        continue;
      }
      // An empty new path stays: Apply tells it has none.
      fs::path destination = appendRelativePath(rootURL, newPath);
      if (!containment.holds(destination.parent_path()) && !containment.isRoot(destination)) {
        continue;
      }
      parent.files().push_back(std::make_shared<VirtualFile>(relative.filename().string(), location,
                                                             std::move(newPath)));
      placed.insert(location);
    }
  }
}

void printFile(std::ostream& out, const char* indent, const VirtualFile& file) {
  out << indent << "File: " << file.name()
      << " - Source URL: " << fileURLDescription(file.sourceURL())
      << " - Relative Path: " << file.relativePath() << '\n';
}

void printNested(std::ostream& out, const VirtualSubFolder& folder) {
  for (const auto& child : folder.subFolders()) {
    out << "  Folder: " << child->name() << " (" << child->relativePath() << ")\n";
    for (const auto& file : child->files()) {
      printFile(out, "    ", *file);
    }
    printNested(out, *child);
  }
}

}  // namespace

std::string FolderResponse::description() const {
  std::ostringstream out;
  out << "FolderResponse(folderName: ";
  quoted(out, folderName);
  out << ", type: ";
  quoted(out, type);
  out << ", contents: ";
  describe(out, contents);
  out << ')';
  return out.str();
}

std::optional<FolderResponse> decodeFolderResponse(const platform::Data& data,
                                                   std::string* errorDescription) {
  platform::ErrorPtr parseError;
  std::optional<platform::Value> value =
      platform::json::parse(data, {.allowFragments = true}, &parseError);
  if (!value) {
    if (errorDescription) {
      *errorDescription = parseError ? parseError->description() : "The data is not JSON.";
    }
    return std::nullopt;
  }
  Decoder decoder;
  FolderResponse response;
  if (!decoder.decodeRoot(*value, response)) {
    if (errorDescription) {
      *errorDescription = decoder.error;
    }
    return std::nullopt;
  }
  return response;
}

void buildFolderTree(const std::vector<FolderContent>& entries, VirtualFolder& parent,
                     const std::string& parentPath, const fs::path& rootURL,
                     std::set<fs::path>& placed) {
  Containment containment(rootURL);
  build(entries, parent, parentPath, rootURL, containment, placed);
}

void buildFolderTree(const std::vector<FolderContent>& entries, VirtualSubFolder& parent,
                     const std::string& parentPath, const fs::path& rootURL,
                     std::set<fs::path>& placed) {
  Containment containment(rootURL);
  build(entries, parent, parentPath, rootURL, containment, placed);
}

std::shared_ptr<VirtualFolder> makeProposedTree(const FolderResponse& response,
                                                const VirtualFolder& scanned) {
  auto root = std::make_shared<VirtualFolder>(scanned.rootURL());
  std::set<fs::path> placed;
  buildFolderTree(response.contents, *root, "", scanned.rootURL(), placed);
  std::vector<std::shared_ptr<VirtualFile>> unplaced;
  scanned.collectFilesNotIn(placed, unplaced);
  if (!unplaced.empty()) {
    auto others = std::make_shared<VirtualSubFolder>(kOthersFolderName, kOthersFolderName);
    for (const auto& file : unplaced) {
      insertFileAtPath(std::make_shared<VirtualFile>(file->name(), file->sourceURL(),
                                                     std::string(kOthersFolderName) + "/" +
                                                         file->relativePath()),
                       *others);
    }
    root->subFolders().push_back(std::move(others));
  }
  return root;
}

std::size_t totalFolderCount(const VirtualFolder& root) {
  std::size_t count = root.subFolders().size();
  for (const auto& folder : root.subFolders()) {
    count += folder->totalSubFolderCount();
  }
  return count;
}

void printAppliedFolder(const VirtualFolder& root, std::ostream& out) {
  for (const auto& folder : root.subFolders()) {
    out << "Folder: " << folder->name() << " (" << folder->relativePath() << ")\n";
    for (const auto& file : folder->files()) {
      printFile(out, "  ", *file);
    }
    printNested(out, *folder);
  }
  for (const auto& file : root.files()) {
    printFile(out, "", *file);
  }
  out.flush();
}
