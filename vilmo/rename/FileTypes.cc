#include "vilmo/rename/FileTypes.h"

#include <QMimeDatabase>
#include <QString>
#include <algorithm>
#include <system_error>
#include <utility>

namespace {

constexpr const char* kDirectoryType = "inode/directory";

// Extensions whose type this program names itself: where the MIME database's answer differs
// from the types the rename flow is written against (both HEIF spellings are the one "heic"
// type), or where the supported types must not depend on the database's version.
constexpr std::pair<const char*, const char*> kTypeOverrides[] = {
    {"heic", "image/heif"},
    {"heif", "image/heif"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"txt", "text/plain"},
    {"doc", "application/msword"},
    {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {"pages", "application/vnd.apple.pages"},
};

// The last component of the path, also when it ends in a separator.
std::filesystem::path lastComponent(const std::filesystem::path& url) {
  return url.has_filename() ? url.filename() : url.parent_path().filename();
}

std::string lowerCaseExtension(const std::filesystem::path& url) {
  std::string extension = lastComponent(url).extension().string();
  if (!extension.empty()) extension.erase(0, 1);
  return QString::fromStdString(extension).toLower().toStdString();
}

const char* overriddenTypeName(const std::string& lowerExtension) {
  for (const auto& [extension, name] : kTypeOverrides) {
    if (lowerExtension == extension) return name;
  }
  return nullptr;
}

std::vector<ContentType> joined(std::initializer_list<const std::vector<ContentType>*> lists) {
  std::vector<ContentType> all;
  for (const auto* list : lists) all.insert(all.end(), list->begin(), list->end());
  return all;
}

}  // namespace

bool ContentType::conformsTo(const ContentType& other) const {
  if (*this == other) return true;
  QMimeDatabase database;
  return database.mimeTypeForName(QString::fromStdString(name_))
      .inherits(QString::fromStdString(other.name_));
}

ContentType ContentType::gif() { return ContentType("image/gif"); }
ContentType ContentType::png() { return ContentType("image/png"); }
ContentType ContentType::jpeg() { return ContentType("image/jpeg"); }
ContentType ContentType::webP() { return ContentType("image/webp"); }
ContentType ContentType::tiff() { return ContentType("image/tiff"); }
ContentType ContentType::heic() { return ContentType("image/heif"); }
ContentType ContentType::plainText() { return ContentType("text/plain"); }
ContentType ContentType::pdf() { return ContentType("application/pdf"); }
ContentType ContentType::doc() { return ContentType(overriddenTypeName("doc")); }
ContentType ContentType::docx() { return ContentType(overriddenTypeName("docx")); }
ContentType ContentType::pages() { return ContentType(overriddenTypeName("pages")); }

// The lists are never destroyed: files are still sorted on worker queues while the process
// exits.
const std::vector<ContentType>& imageFileTypes() {
  static const std::vector<ContentType>& types = *new std::vector<ContentType>{
      ContentType::gif(), ContentType::png(), ContentType::jpeg(), ContentType::webP()};
  return types;
}

const std::vector<ContentType>& convertibleImageTypes() {
  static const std::vector<ContentType>& types =
      *new std::vector<ContentType>{ContentType::tiff(), ContentType::heic()};
  return types;
}

const std::vector<ContentType>& textFileTypes() {
  static const std::vector<ContentType>& types =
      *new std::vector<ContentType>{ContentType::plainText()};
  return types;
}

const std::vector<ContentType>& pdfFileTypes() {
  static const std::vector<ContentType>& types = *new std::vector<ContentType>{ContentType::pdf()};
  return types;
}

const std::vector<ContentType>& documentFileTypes() {
  static const std::vector<ContentType>& types =
      *new std::vector<ContentType>{ContentType::doc(), ContentType::docx(), ContentType::pages()};
  return types;
}

const std::vector<ContentType>& supportedFileTypes() {
  static const std::vector<ContentType>& types = *new std::vector<ContentType>(
      joined({&imageFileTypes(), &convertibleImageTypes(), &textFileTypes(), &pdfFileTypes(),
              &documentFileTypes()}));
  return types;
}

std::optional<ContentType> contentTypeOfFile(const std::filesystem::path& url) {
  std::error_code error;
  const auto status = std::filesystem::status(url, error);
  if (error || !std::filesystem::exists(status)) return std::nullopt;

  const std::string extension = lowerCaseExtension(url);
  const char* overridden = overriddenTypeName(extension);
  if (std::filesystem::is_directory(status)) {
    // A document saved as a package is a folder that stands for one file.
    if (overridden && ContentType(overridden) == ContentType::pages()) return ContentType::pages();
    return ContentType(kDirectoryType);
  }
  if (overridden) return ContentType(overridden);

  QMimeDatabase database;
  const QMimeType type = database.mimeTypeForFile(
      QString::fromStdString(lastComponent(url).string()), QMimeDatabase::MatchExtension);
  if (!type.isValid()) return std::nullopt;
  return ContentType(type.name().toStdString());
}

bool isSupportedFile(const std::filesystem::path& url,
                     std::vector<std::string>& unsupportedFileTypes) {
  const std::optional<ContentType> type = contentTypeOfFile(url);
  if (!type) return false;
  const auto& supported = supportedFileTypes();
  if (std::find(supported.begin(), supported.end(), *type) != supported.end()) return true;
  unsupportedFileTypes.push_back(lowerCaseExtension(url));
  return false;
}
