// UsageEvents: the one logger through which every user action, and the launch and close
// of the application, reports itself to analytics, with the catalogue of every event the
// application sends and its parameter keys.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>

#include "platform/value.h"

// Sends the event to analytics with the common parameters and "timestamp" added; the
// caller's parameters replace common ones of the same key. A parameter whose value is a
// list is dropped (the others still go out). Never fails towards the caller.
void logUsageEvent(const std::string& name, const platform::Dictionary& parameters = {});

// Made afresh for every event: "country", "os_version", "app_version", "device_id" (a new
// UUID each time) and "device_type".
platform::Dictionary commonEventParameters();

// The region of a locale identifier: the last of its "_"-separated segments, empty
// segments dropped ("en_US" → "US", "en" → "en"); "unknown" when there is none.
std::string countryFromLocaleIdentifier(const std::string& identifier);

// "screen_name" of an action that starts on the screen of this step code: "rename_step_"
// followed by the decimal of (step - 1000) for the rename flow and the settings entry,
// "reorg_step_" followed by the decimal of (step - 2000) for the reorganise flow. The
// difference is exact for every step code.
std::string renameScreenName(std::int64_t step);
std::string reorgScreenName(std::int64_t step);

namespace usage_event {

// Event names.
inline constexpr char kAppLaunch[] = "app_launch";
inline constexpr char kAppClose[] = "app_close";
inline constexpr char kSettingsStart[] = "settings_start";
inline constexpr char kSettingsApply[] = "settings_apply";
inline constexpr char kSidebarAutoFolderClick[] = "sidebar_auto_folder_click";
inline constexpr char kFileRenameEntranceClick[] = "file_rename_entrance_click";
inline constexpr char kDropFiles[] = "drop_files";
inline constexpr char kDropFileClear[] = "drop_file_clear";
inline constexpr char kRenameRetry[] = "rename_retry";
inline constexpr char kRenameEditFileName[] = "rename_edit_file_name";
inline constexpr char kRenamePreviewClear[] = "rename_preview_clear";
inline constexpr char kFeedbackGivenInApp[] = "feedback_given_in_app";
inline constexpr char kFeedbackGivenCommented[] = "feedback_given_commented";
inline constexpr char kRenameGoBack[] = "rename_go_back";
inline constexpr char kRenamePreviewApply[] = "rename_preview_apply";
inline constexpr char kRenameFinishRevoke[] = "rename_finish_revoke";
inline constexpr char kRenameFinishRevokeAll[] = "rename_finish_revoke_all";
inline constexpr char kRenameFinishRenameAgain[] = "rename_finish_rename_again";
inline constexpr char kFeedbackGiven[] = "feedback_given";
inline constexpr char kDropFolder[] = "drop_folder";
inline constexpr char kDropFolderReselect[] = "drop_folder_reselect";
inline constexpr char kOrganizeStart[] = "organize_start";
inline constexpr char kOrganizePendingEnd[] = "organize_pending_end";
inline constexpr char kReorganizeClick[] = "reorganize_click";
inline constexpr char kOrganizeApply[] = "organize_apply";
inline constexpr char kOrganizeAgain[] = "organize_again";

// Keys of the common parameters and of "timestamp".
inline constexpr char kCountry[] = "country";
inline constexpr char kOSVersion[] = "os_version";
inline constexpr char kAppVersion[] = "app_version";
inline constexpr char kDeviceID[] = "device_id";
inline constexpr char kDeviceType[] = "device_type";
inline constexpr char kTimestamp[] = "timestamp";

// Keys of the events' own parameters.
inline constexpr char kScreenName[] = "screen_name";
inline constexpr char kTotalRunTime[] = "total_run_time";
inline constexpr char kTotalActiveTime[] = "total_active_time";
inline constexpr char kRenameFileCount[] = "rename_file_cnt";
inline constexpr char kFilenameLanguage[] = "filename_language";
inline constexpr char kNamingConvention[] = "naming_convention";
inline constexpr char kPresetSelection[] = "preset_selection";
inline constexpr char kDropFileTotalCount[] = "drop_file_total_cnt";
inline constexpr char kDropFileAcceptedCount[] = "drop_file_accepted_cnt";
inline constexpr char kAllFileSupported[] = "all_file_supported";
inline constexpr char kFeedbackType[] = "feedback_type";
inline constexpr char kRenamePreviewApplyFileCount[] = "rename_preview_apply_file_cnt";
inline constexpr char kRenameFinishRevokeAllFileCount[] = "rename_finish_revoke_all_file_cnt";
inline constexpr char kSatisfaction[] = "satisfaction";
inline constexpr char kLoadSubFolderCount[] = "load_sub_folder_cnt";
inline constexpr char kLoadFileTotalCount[] = "load_file_total_cnt";
inline constexpr char kFolderCreated[] = "folder_created";

// Values the catalogue fixes.
inline constexpr char kDeviceTypeMac[] = "Mac";
inline constexpr char kUnknown[] = "unknown";
inline constexpr char kUpThumb[] = "up_thumb";
inline constexpr char kDownThumb[] = "down_thumb";
inline constexpr char kPositive[] = "positive";
inline constexpr char kNegative[] = "negative";

// One entry of the catalogue: an event and the parameters its action adds. Events that
// go through logUsageEvent carry the common parameters and "timestamp" besides; the one
// that does not ("feedback_given") goes straight to analytics with its own parameter
// only. "settings_start" is listed twice: opening settings, and starting a rename (which
// adds the file count).
struct CatalogueEntry {
  const char* name;
  std::initializer_list<const char*> ownParameters;
  bool throughLogger = true;
};

// Every event the application sends, in the order of the catalogue.
std::span<const CatalogueEntry> catalogue();

}  // namespace usage_event
