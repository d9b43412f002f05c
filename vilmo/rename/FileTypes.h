// FileTypes: the content types the rename flow accepts, and the test that sorts dropped files
// into those it can summarise and the extensions it refuses.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// A file's content type, named by its canonical MIME type. Types form a hierarchy: a type
// conforms to itself and to the types it is a kind of (text/markdown conforms to text/plain),
// while equality is exact.
class ContentType {
 public:
  explicit ContentType(std::string name) : name_(std::move(name)) {}

  const std::string& name() const { return name_; }
  bool conformsTo(const ContentType& other) const;

  friend bool operator==(const ContentType&, const ContentType&) = default;

  static ContentType gif();
  static ContentType png();
  static ContentType jpeg();
  static ContentType webP();
  static ContentType tiff();
  static ContentType heic();
  static ContentType plainText();
  static ContentType pdf();
  static ContentType doc();
  static ContentType docx();
  static ContentType pages();

 private:
  std::string name_;
};

// The lists, each built once on first use (from any thread) and never changed.
const std::vector<ContentType>& imageFileTypes();         // gif, png, jpeg, webP
const std::vector<ContentType>& convertibleImageTypes();  // tiff, heic
const std::vector<ContentType>& textFileTypes();          // plainText
const std::vector<ContentType>& pdfFileTypes();           // pdf
const std::vector<ContentType>& documentFileTypes();      // doc, docx, pages
// The five lists above joined in that order.
const std::vector<ContentType>& supportedFileTypes();

// The content type of the file at `url`, decided by its name's extension; a folder is
// "inode/directory" unless it is a document package (".pages"). None when the file cannot be
// found or examined.
std::optional<ContentType> contentTypeOfFile(const std::filesystem::path& url);

// Whether the file's type is exactly one of supportedFileTypes(). A refused file whose type
// can be read adds its lower-case extension ("" when it has none) to `unsupportedFileTypes`,
// duplicates and all; one whose type cannot be read adds nothing.
bool isSupportedFile(const std::filesystem::path& url,
                     std::vector<std::string>& unsupportedFileTypes);
