#include "foundation/ZIRBundleUtil.h"

#include "foundation/ZULAppEnvironmentUtil.h"

ZIRBundleUtil::Bundles ZIRBundleUtil::relevantBundles() { return {&platform::Bundle::main()}; }

std::optional<std::string>
ZIRBundleUtil::optionsDictionaryPathWithResourceName(std::string_view name, std::string_view type,
                                                     const Bundles& bundles) {
  for (const platform::Bundle* bundle : bundles) {
    if (auto path = bundle->pathForResource(name, type)) return path->string();
  }
  return std::nullopt;
}

std::vector<std::string> ZIRBundleUtil::relevantURLSchemes() {
  std::vector<std::string> schemes;
  for (const platform::Bundle* bundle : relevantBundles()) {
    const platform::Array* urlTypes =
        bundle->objectForInfoDictionaryKey("CFBundleURLTypes").asArray();
    if (!urlTypes) continue;
    for (const platform::Value& urlType : *urlTypes) {
      const platform::Array* entries = urlType["CFBundleURLSchemes"].asArray();
      if (!entries) continue;
      for (const platform::Value& scheme : *entries) {
        if (const std::string* text = scheme.asString()) schemes.push_back(*text);
      }
    }
  }
  return schemes;
}

bool ZIRBundleUtil::hasBundleIdentifierPrefix(std::string_view bundleIdentifier,
                                              const Bundles& bundles) {
  for (const platform::Bundle* bundle : bundles) {
    const std::string identifier = bundle->bundleIdentifier();
    if (identifier == bundleIdentifier) return true;
    if (ZULAppEnvironmentUtil::isAppExtension() &&
        bundleIdentifierByRemovingLastPartFrom(identifier) == bundleIdentifier) {
      return true;
    }
  }
  return false;
}

std::string
ZIRBundleUtil::bundleIdentifierByRemovingLastPartFrom(std::string_view bundleIdentifier) {
  const std::size_t lastDot = bundleIdentifier.rfind('.');
  if (lastDot == std::string_view::npos) return "";
  return std::string(bundleIdentifier.substr(0, lastDot));
}
