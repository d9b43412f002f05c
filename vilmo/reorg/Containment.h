// Containment: whether places named inside the dropped folder stay inside it once links on
// the way are followed, so that neither the proposed tree nor Apply reaches elsewhere.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>

class Containment {
 public:
  explicit Containment(const std::filesystem::path& rootURL);

  // Whether `path`, with every link that exists on its way followed, is the dropped folder
  // or lies below it. A path that cannot be resolved is not held.
  bool holds(const std::filesystem::path& path);
  // Whether both name one directory entry once the links in their folders are followed;
  // the entries themselves are not followed, so a link and what it leads to differ.
  bool sameEntry(const std::filesystem::path& first, const std::filesystem::path& second);
  // Whether `path` comes back to the dropped folder itself, as an empty new path does.
  bool isRoot(const std::filesystem::path& path) const;

 private:
  struct Resolved {
    // With the links followed; none when the path cannot be resolved.
    std::optional<std::filesystem::path> place;
    bool isHeld = false;
  };

  const Resolved& resolve(const std::filesystem::path& path);
  std::optional<std::filesystem::path> entry(const std::filesystem::path& path);
  bool isBelowOrAt(const std::filesystem::path& resolved) const;

  // The dropped folder as its paths are spelled, and with its own links followed.
  std::filesystem::path rootURL_;
  std::filesystem::path root_;
  // Many files share a few folders: each folder is resolved once, keyed by its spelling.
  std::unordered_map<std::string, Resolved> resolved_;
};
