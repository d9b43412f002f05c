// ZIRBundleUtil: finds the SDK's resources in the bundles that may hold them and checks
// bundle identifiers against the options.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bundle.h"

class ZIRBundleUtil {
 public:
  using Bundles = std::vector<const platform::Bundle*>;

  // The main bundle. It is also the bundle that holds the SDK's own code, which is linked
  // into the program, so it is listed once.
  static Bundles relevantBundles();
  // The path of "<name>.<type>" in the first bundle that has it, or none.
  static std::optional<std::string> optionsDictionaryPathWithResourceName(std::string_view name,
                                                                          std::string_view type,
                                                                          const Bundles& bundles);
  // Every "CFBundleURLSchemes" entry of every "CFBundleURLTypes" item of each relevant
  // bundle's Info.plist, in order.
  static std::vector<std::string> relevantURLSchemes();
  // Whether some bundle's identifier is this one; inside an app extension also whether
  // some bundle's identifier without its last part is.
  static bool hasBundleIdentifierPrefix(std::string_view bundleIdentifier, const Bundles& bundles);
  // "a.b.c" → "a.b": the identifier without its last dot-separated part.
  static std::string bundleIdentifierByRemovingLastPartFrom(std::string_view bundleIdentifier);
};
