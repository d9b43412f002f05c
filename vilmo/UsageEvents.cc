#include "vilmo/UsageEvents.h"

#include <algorithm>

#include "analytics/engine/DAVOdazarado.h"
#include "platform/bundle.h"
#include "platform/date.h"
#include "platform/locale.h"
#include "platform/process_info.h"
#include "platform/uuid.h"

namespace {

// The exact decimal of step - offset, also where the difference leaves the 64-bit range.
std::string stepDifference(std::int64_t step, std::int64_t offset) {
  __int128 difference = static_cast<__int128>(step) - offset;
  bool negative = difference < 0;
  unsigned __int128 magnitude = negative ? -static_cast<unsigned __int128>(difference) : difference;
  std::string digits;
  do {
    digits.push_back(static_cast<char>('0' + static_cast<int>(magnitude % 10)));
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) digits.push_back('-');
  std::reverse(digits.begin(), digits.end());
  return digits;
}

}  // namespace

std::string countryFromLocaleIdentifier(const std::string& identifier) {
  std::string last;
  std::size_t start = 0;
  while (start <= identifier.size()) {
    std::size_t end = identifier.find('_', start);
    if (end == std::string::npos) end = identifier.size();
    if (end > start) last = identifier.substr(start, end - start);
    start = end + 1;
  }
  return last.empty() ? usage_event::kUnknown : last;
}

std::string renameScreenName(std::int64_t step) {
  return "rename_step_" + stepDifference(step, 1000);
}

std::string reorgScreenName(std::int64_t step) {
  return "reorg_step_" + stepDifference(step, 2000);
}

platform::Dictionary commonEventParameters() {
  const platform::Value& version =
      platform::Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString");
  return {
      {usage_event::kCountry, countryFromLocaleIdentifier(platform::Locale::currentIdentifier())},
      {usage_event::kOSVersion,
       platform::ProcessInfo::processInfo().operatingSystemVersionString()},
      {usage_event::kAppVersion,
       version.isString() ? *version.asString() : std::string(usage_event::kUnknown)},
      {usage_event::kDeviceID, platform::UUID::random().string()},
      {usage_event::kDeviceType, usage_event::kDeviceTypeMac},
  };
}

void logUsageEvent(const std::string& name, const platform::Dictionary& parameters) {
  double timestamp = platform::Date::now().timeIntervalSince1970();
  platform::Dictionary merged = commonEventParameters();
  merged.set(usage_event::kTimestamp, timestamp);
  for (const auto& [key, value] : parameters) {
    // Event parameters are scalars; analytics has no form for a list.
    if (value.isArray()) continue;
    merged.set(key, value);
  }
  DAVOdazarado::logEventWithName(name, merged);
}

namespace usage_event {
namespace {

const CatalogueEntry kCatalogue[] = {
    {kAppLaunch, {}},
    {kAppClose, {kTotalRunTime, kTotalActiveTime}},
    {kSettingsStart, {kScreenName}},
    {kSettingsStart, {kScreenName, kRenameFileCount}},
    {kSettingsApply, {kFilenameLanguage, kNamingConvention, kPresetSelection}},
    {kSidebarAutoFolderClick, {kScreenName}},
    {kFileRenameEntranceClick, {kScreenName}},
    {kDropFiles, {kScreenName, kDropFileTotalCount, kDropFileAcceptedCount, kAllFileSupported}},
    {kDropFileClear, {kScreenName}},
    {kRenameRetry, {kScreenName}},
    {kRenameEditFileName, {kScreenName}},
    {kRenamePreviewClear, {kScreenName}},
    {kFeedbackGivenInApp, {kFeedbackType, kScreenName}},
    {kFeedbackGivenCommented, {kScreenName}},
    {kRenameGoBack, {kScreenName}},
    {kRenamePreviewApply, {kScreenName, kRenamePreviewApplyFileCount}},
    {kRenameFinishRevoke, {kScreenName}},
    {kRenameFinishRevokeAll, {kScreenName, kRenameFinishRevokeAllFileCount}},
    {kRenameFinishRenameAgain, {kScreenName}},
    {kFeedbackGiven, {kSatisfaction}, false},
    {kDropFolder, {kScreenName, kLoadSubFolderCount, kLoadFileTotalCount}},
    {kDropFolderReselect, {kScreenName}},
    {kOrganizeStart, {kScreenName}},
    {kOrganizePendingEnd, {kScreenName, kFolderCreated}},
    {kReorganizeClick, {kScreenName}},
    {kOrganizeApply, {kScreenName}},
    {kOrganizeAgain, {kScreenName}},
};

}  // namespace

std::span<const CatalogueEntry> catalogue() { return kCatalogue; }

}  // namespace usage_event
