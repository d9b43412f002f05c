#include "vilmo/reorg/Containment.h"

#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The path as lexically normal, without a trailing "/".
fs::path normalWithoutTrailingSlash(const fs::path& path) {
  fs::path normal = path.lexically_normal();
  return normal.has_filename() ? normal : normal.parent_path();
}

}  // namespace

Containment::Containment(const fs::path& rootURL) : rootURL_(normalWithoutTrailingSlash(rootURL)) {
  std::error_code error;
  root_ = fs::weakly_canonical(rootURL, error);
  if (error) {
    root_ = rootURL.lexically_normal();
  }
}

bool Containment::holds(const fs::path& path) { return resolve(path).isHeld; }

bool Containment::sameEntry(const fs::path& first, const fs::path& second) {
  std::optional<fs::path> one = entry(first);
  return one && one == entry(second);
}

bool Containment::isRoot(const fs::path& path) const {
  const std::string& text = path.native();
  // A path without "." steps, doubled or trailing "/" is already normal: nearly every one.
  if (text.find("/.") == std::string::npos && text.find("//") == std::string::npos &&
      !text.ends_with('/')) {
    return text == rootURL_.native();
  }
  return normalWithoutTrailingSlash(path).native() == rootURL_.native();
}

const Containment::Resolved& Containment::resolve(const fs::path& path) {
  auto [cached, fresh] = resolved_.try_emplace(path.native());
  if (fresh) {
    std::error_code error;
    fs::path place = fs::weakly_canonical(path, error);
    if (!error) {
      cached->second.isHeld = isBelowOrAt(place);
      cached->second.place = std::move(place);
    }
  }
  return cached->second;
}

std::optional<fs::path> Containment::entry(const fs::path& path) {
  fs::path normal = normalWithoutTrailingSlash(path);
  const std::optional<fs::path>& folder = resolve(normal.parent_path()).place;
  if (!folder) {
    return std::nullopt;
  }
  return *folder / normal.filename();
}

bool Containment::isBelowOrAt(const fs::path& resolved) const {
  auto inside = resolved.begin();
  for (auto part = root_.begin(); part != root_.end(); ++part, ++inside) {
    if (part->empty()) {
      continue;
    }
    if (inside == resolved.end() || *inside != *part) {
      return false;
    }
  }
  return true;
}
