#include "analytics/messages/APMPBMessageTables.h"

#include "analytics/messages/Protos/audience.pb.h"
#include "analytics/messages/Protos/audience_result.pb.h"
#include "analytics/messages/Protos/consent_config.pb.h"
#include "analytics/messages/Protos/event.pb.h"
#include "analytics/messages/Protos/experiment.pb.h"
#include "analytics/messages/Protos/measurement_bundle.pb.h"
#include "analytics/messages/Protos/measurement_config.pb.h"
#include "analytics/messages/Protos/program.pb.h"

// Each message lists its fields in declaration order, which gives the field index; the tag of
// an index need not be the index plus one (the bundle's index 6 is tag 26).
namespace {

constexpr std::int32_t kAudienceTypes[] = {
    NanoTypeInt32 | NanoTypeSingular, NanoTypeMessage | NanoTypeRepeated,
    NanoTypeMessage | NanoTypeRepeated, NanoTypeBool | NanoTypeSingular,
    NanoTypeBool | NanoTypeSingular};
constexpr pb_size_t kAudienceTags[] = {1, 2, 3, 4, 5};
constexpr const char* kAudienceNames[] = {"audience_id", "property_filters", "event_filters",
                                          "field_4", "field_5"};
constexpr const NanoMessageTable* kAudienceChildren[] = {nullptr, &nano_PropertyFilter_table,
                                                         &nano_EventFilter_table, nullptr, nullptr};

constexpr std::int32_t kEventFilterTypes[] = {
    NanoTypeInt32 | NanoTypeSingular,   NanoTypeString | NanoTypeSingular,
    NanoTypeMessage | NanoTypeRepeated, NanoTypeBool | NanoTypeSingular,
    NanoTypeMessage | NanoTypeSingular, NanoTypeBool | NanoTypeSingular,
    NanoTypeBool | NanoTypeSingular,    NanoTypeBool | NanoTypeSingular};
constexpr pb_size_t kEventFilterTags[] = {1, 2, 3, 4, 5, 6, 7, 8};
constexpr const char* kEventFilterNames[] = {"filter_id", "event_name",         "filters",
                                             "field_4",   "event_count_filter", "dynamic",
                                             "sequence",  "session_scoped"};
constexpr const NanoMessageTable* kEventFilterChildren[] = {
    nullptr, nullptr, &nano_Filter_table, nullptr, &nano_NumberFilter_table, nullptr,
    nullptr, nullptr};

constexpr std::int32_t kPropertyFilterTypes[] = {
    NanoTypeInt32 | NanoTypeSingular,   NanoTypeString | NanoTypeSingular,
    NanoTypeMessage | NanoTypeSingular, NanoTypeBool | NanoTypeSingular,
    NanoTypeBool | NanoTypeSingular,    NanoTypeBool | NanoTypeSingular};
constexpr pb_size_t kPropertyFilterTags[] = {1, 2, 3, 4, 5, 6};
constexpr const char* kPropertyFilterNames[] = {"filter_id", "property_name", "filter",
                                                "dynamic",   "sequence",      "session_scoped"};
constexpr const NanoMessageTable* kPropertyFilterChildren[] = {nullptr, nullptr, &nano_Filter_table,
                                                               nullptr, nullptr, nullptr};

constexpr std::int32_t kFilterTypes[] = {
    NanoTypeMessage | NanoTypeSingular, NanoTypeMessage | NanoTypeSingular,
    NanoTypeBool | NanoTypeSingular, NanoTypeString | NanoTypeSingular};
constexpr pb_size_t kFilterTags[] = {1, 2, 3, 4};
constexpr const char* kFilterNames[] = {"string_filter", "number_filter", "complement",
                                        "param_name"};
constexpr const NanoMessageTable* kFilterChildren[] = {&nano_StringFilter_table,
                                                       &nano_NumberFilter_table, nullptr, nullptr};

constexpr std::int32_t kStringFilterTypes[] = {
    NanoTypeEnum | NanoTypeSingular, NanoTypeString | NanoTypeSingular,
    NanoTypeBool | NanoTypeSingular, NanoTypeString | NanoTypeRepeated};
constexpr pb_size_t kStringFilterTags[] = {1, 2, 3, 4};
constexpr const char* kStringFilterNames[] = {"match_type", "expression", "case_sensitive",
                                              "expression_list"};
constexpr const NanoMessageTable* kStringFilterChildren[] = {nullptr, nullptr, nullptr, nullptr};

constexpr std::int32_t kNumberFilterTypes[] = {
    NanoTypeEnum | NanoTypeSingular, NanoTypeBool | NanoTypeSingular,
    NanoTypeString | NanoTypeSingular, NanoTypeString | NanoTypeSingular,
    NanoTypeString | NanoTypeSingular};
constexpr pb_size_t kNumberFilterTags[] = {1, 2, 3, 4, 5};
constexpr const char* kNumberFilterNames[] = {"comparison_type", "match_as_float",
                                              "comparison_value", "min_comparison_value",
                                              "max_comparison_value"};
constexpr const NanoMessageTable* kNumberFilterChildren[] = {nullptr, nullptr, nullptr, nullptr,
                                                             nullptr};

constexpr std::int32_t kAudienceLeafFilterResultTypes[] = {
    NanoTypeInt32 | NanoTypeSingular, NanoTypeMessage | NanoTypeSingular,
    NanoTypeMessage | NanoTypeSingular, NanoTypeBool | NanoTypeSingular};
constexpr pb_size_t kAudienceLeafFilterResultTags[] = {1, 2, 3, 4};
constexpr const char* kAudienceLeafFilterResultNames[] = {
    "audience_id", "current_results", "previous_results", "no_previous_results"};
constexpr const NanoMessageTable* kAudienceLeafFilterResultChildren[] = {
    nullptr, &nano_ResultData_table, &nano_ResultData_table, nullptr};

constexpr std::int32_t kResultDataTypes[] = {
    NanoTypeUInt64 | NanoTypeRepeated, NanoTypeUInt64 | NanoTypeRepeated,
    NanoTypeMessage | NanoTypeRepeated, NanoTypeMessage | NanoTypeRepeated};
constexpr pb_size_t kResultDataTags[] = {1, 2, 3, 4};
constexpr const char* kResultDataNames[] = {"status", "results", "dynamic_filter_timestamps",
                                            "sequence_filter_timestamps"};
constexpr const NanoMessageTable* kResultDataChildren[] = {
    nullptr, nullptr, &nano_DynamicFilterResultTimestamp_table,
    &nano_SequenceFilterResultTimestamp_table};

constexpr std::int32_t kDynamicFilterResultTimestampTypes[] = {NanoTypeInt32 | NanoTypeSingular,
                                                               NanoTypeInt64 | NanoTypeSingular};
constexpr pb_size_t kDynamicFilterResultTimestampTags[] = {1, 2};
constexpr const char* kDynamicFilterResultTimestampNames[] = {"filter_id", "timestamp_seconds"};
constexpr const NanoMessageTable* kDynamicFilterResultTimestampChildren[] = {nullptr, nullptr};

constexpr std::int32_t kSequenceFilterResultTimestampTypes[] = {NanoTypeInt32 | NanoTypeSingular,
                                                                NanoTypeInt64 | NanoTypeRepeated};
constexpr pb_size_t kSequenceFilterResultTimestampTags[] = {1, 2};
constexpr const char* kSequenceFilterResultTimestampNames[] = {"filter_id", "eval_timestamps"};
constexpr const NanoMessageTable* kSequenceFilterResultTimestampChildren[] = {nullptr, nullptr};

constexpr std::int32_t kConsentConfigTypes[] = {
    NanoTypeMessage | NanoTypeRepeated, NanoTypeMessage | NanoTypeRepeated,
    NanoTypeMessage | NanoTypeRepeated, NanoTypeBool | NanoTypeSingular,
    NanoTypeMessage | NanoTypeRepeated};
constexpr pb_size_t kConsentConfigTags[] = {1, 2, 3, 4, 5};
constexpr const char* kConsentConfigNames[] = {"defaults", "delegations", "core_platform_services",
                                               "dma_region", "enforced_defaults"};
constexpr const NanoMessageTable* kConsentConfigChildren[] = {
    &nano_ConsentDefaultEntry_table, &nano_ConsentDelegationEntry_table,
    &nano_CorePlatformServiceEntry_table, nullptr, &nano_ConsentDefaultEntry_table};

constexpr std::int32_t kConsentDefaultEntryTypes[] = {NanoTypeEnum | NanoTypeSingular,
                                                      NanoTypeEnum | NanoTypeSingular};
constexpr pb_size_t kConsentDefaultEntryTags[] = {1, 2};
constexpr const char* kConsentDefaultEntryNames[] = {"consent_type", "status"};
constexpr const NanoMessageTable* kConsentDefaultEntryChildren[] = {nullptr, nullptr};

constexpr std::int32_t kConsentDelegationEntryTypes[] = {NanoTypeEnum | NanoTypeSingular,
                                                         NanoTypeEnum | NanoTypeSingular};
constexpr pb_size_t kConsentDelegationEntryTags[] = {1, 2};
constexpr const char* kConsentDelegationEntryNames[] = {"consent_type", "delegate_type"};
constexpr const NanoMessageTable* kConsentDelegationEntryChildren[] = {nullptr, nullptr};

constexpr std::int32_t kCorePlatformServiceEntryTypes[] = {NanoTypeString | NanoTypeSingular,
                                                           NanoTypeString | NanoTypeSingular};
constexpr pb_size_t kCorePlatformServiceEntryTags[] = {1, 2};
constexpr const char* kCorePlatformServiceEntryNames[] = {"name", "field_2"};
constexpr const NanoMessageTable* kCorePlatformServiceEntryChildren[] = {nullptr, nullptr};

constexpr std::int32_t kEventTypes[] = {
    NanoTypeMessage | NanoTypeRepeated, NanoTypeString | NanoTypeSingular,
    NanoTypeInt64 | NanoTypeSingular, NanoTypeInt64 | NanoTypeSingular,
    NanoTypeInt32 | NanoTypeSingular};
constexpr pb_size_t kEventTags[] = {1, 2, 3, 4, 5};
constexpr const char* kEventNames[] = {"params", "name", "timestamp_millis",
                                       "previous_timestamp_millis", "field_5"};
constexpr const NanoMessageTable* kEventChildren[] = {&nano_EventParam_table, nullptr, nullptr,
                                                      nullptr, nullptr};

constexpr std::int32_t kEventParamTypes[] = {
    NanoTypeString | NanoTypeSingular, NanoTypeString | NanoTypeSingular,
    NanoTypeInt64 | NanoTypeSingular,  NanoTypeFloat | NanoTypeSingular,
    NanoTypeDouble | NanoTypeSingular, NanoTypeMessage | NanoTypeRepeated};
constexpr pb_size_t kEventParamTags[] = {1, 2, 3, 4, 5, 6};
constexpr const char* kEventParamNames[] = {"name",    "string_value", "int_value",
                                            "field_4", "double_value", "param_value"};
constexpr const NanoMessageTable* kEventParamChildren[] = {
    nullptr, nullptr, nullptr, nullptr, nullptr, &nano_EventParam_table};

constexpr std::int32_t kUserAttributeTypes[] = {
    NanoTypeInt64 | NanoTypeSingular,  NanoTypeString | NanoTypeSingular,
    NanoTypeString | NanoTypeSingular, NanoTypeInt64 | NanoTypeSingular,
    NanoTypeFloat | NanoTypeSingular,  NanoTypeDouble | NanoTypeSingular};
constexpr pb_size_t kUserAttributeTags[] = {1, 2, 3, 4, 5, 6};
constexpr const char* kUserAttributeNames[] = {
    "set_timestamp_millis", "name", "string_value", "int_value", "field_5", "double_value"};
constexpr const NanoMessageTable* kUserAttributeChildren[] = {nullptr, nullptr, nullptr,
                                                              nullptr, nullptr, nullptr};

constexpr std::int32_t kEventConfigTypes[] = {
    NanoTypeString | NanoTypeSingular, NanoTypeBool | NanoTypeSingular,
    NanoTypeBool | NanoTypeSingular, NanoTypeInt32 | NanoTypeSingular};
constexpr pb_size_t kEventConfigTags[] = {1, 2, 3, 4};
constexpr const char* kEventConfigNames[] = {"name", "blocklisted", "custom_conversion",
                                             "sampling_rate"};
constexpr const NanoMessageTable* kEventConfigChildren[] = {nullptr, nullptr, nullptr, nullptr};

constexpr std::int32_t kExperimentRequestTypes[] = {NanoTypeMessage | NanoTypeSingular,
                                                    NanoTypeMessage | NanoTypeRepeated};
constexpr pb_size_t kExperimentRequestTags[] = {1, 2};
constexpr const char* kExperimentRequestNames[] = {"app_property", "client_properties"};
constexpr const NanoMessageTable* kExperimentRequestChildren[] = {&nano_AppProperty_table,
                                                                  &nano_ClientProperty_table};

constexpr std::int32_t kAppPropertyTypes[] = {
    NanoTypeString | NanoTypeSingular, NanoTypeString | NanoTypeSingular,
    NanoTypeString | NanoTypeSingular, NanoTypeString | NanoTypeSingular,
    NanoTypeString | NanoTypeSingular, NanoTypeBool | NanoTypeSingular,
    NanoTypeInt64 | NanoTypeSingular};
constexpr pb_size_t kAppPropertyTags[] = {1, 2, 3, 4, 5, 6, 7};
constexpr const char* kAppPropertyNames[] = {
    "platform", "field_2", "field_3", "language", "bundle_id", "from_app_store", "sdk_version"};
constexpr const NanoMessageTable* kAppPropertyChildren[] = {nullptr, nullptr, nullptr, nullptr,
                                                            nullptr, nullptr, nullptr};

constexpr std::int32_t kClientPropertyTypes[] = {
    NanoTypeString | NanoTypeSingular, NanoTypeString | NanoTypeSingular,
    NanoTypeInt64 | NanoTypeSingular, NanoTypeString | NanoTypeSingular,
    NanoTypeMessage | NanoTypeRepeated};
constexpr pb_size_t kClientPropertyTags[] = {1, 2, 3, 4, 5};
constexpr const char* kClientPropertyNames[] = {"sdk_name", "diversion_id", "sdk_version", "app_id",
                                                "custom_properties"};
constexpr const NanoMessageTable* kClientPropertyChildren[] = {nullptr, nullptr, nullptr, nullptr,
                                                               &nano_CustomProperty_table};

constexpr std::int32_t kCustomPropertyTypes[] = {NanoTypeString | NanoTypeSingular,
                                                 NanoTypeString | NanoTypeSingular};
constexpr pb_size_t kCustomPropertyTags[] = {1, 2};
constexpr const char* kCustomPropertyNames[] = {"name", "value"};
constexpr const NanoMessageTable* kCustomPropertyChildren[] = {nullptr, nullptr};

constexpr std::int32_t kExperimentResponseTypes[] = {NanoTypeMessage | NanoTypeRepeated,
                                                     NanoTypeMessage | NanoTypeRepeated};
constexpr pb_size_t kExperimentResponseTags[] = {1, 2};
constexpr const char* kExperimentResponseNames[] = {"snapshots", "sdk_responses"};
constexpr const NanoMessageTable* kExperimentResponseChildren[] = {&nano_Snapshot_table,
                                                                   &nano_SdkResponse_table};

constexpr std::int32_t kSdkResponseTypes[] = {NanoTypeString | NanoTypeSingular,
                                              NanoTypeEnum | NanoTypeSingular,
                                              NanoTypeMessage | NanoTypeSingular};
constexpr pb_size_t kSdkResponseTags[] = {1, 2, 3};
constexpr const char* kSdkResponseNames[] = {"sdk_name", "status", "snapshot"};
constexpr const NanoMessageTable* kSdkResponseChildren[] = {nullptr, nullptr, &nano_Snapshot_table};

constexpr std::int32_t kSnapshotTypes[] = {NanoTypeString | NanoTypeSingular,
                                           NanoTypeMessage | NanoTypeRepeated};
constexpr pb_size_t kSnapshotTags[] = {1, 2};
constexpr const char* kSnapshotNames[] = {"sdk_name", "experiments"};
constexpr const NanoMessageTable* kSnapshotChildren[] = {nullptr, &nano_Experiment_table};

constexpr std::int32_t kExperimentTypes[] = {NanoTypeInt32 | NanoTypeSingular,
                                             NanoTypeMessage | NanoTypeRepeated};
constexpr pb_size_t kExperimentTags[] = {1, 2};
constexpr const char* kExperimentNames[] = {"experiment_id", "flags"};
constexpr const NanoMessageTable* kExperimentChildren[] = {nullptr, &nano_Flag_table};

constexpr std::int32_t kFlagTypes[] = {
    NanoTypeString | NanoTypeSingular, NanoTypeInt64 | NanoTypeSingular,
    NanoTypeString | NanoTypeSingular, NanoTypeDouble | NanoTypeSingular,
    NanoTypeBool | NanoTypeSingular};
constexpr pb_size_t kFlagTags[] = {1, 2, 3, 4, 5};
constexpr const char* kFlagNames[] = {"name", "int_value", "string_value", "double_value",
                                      "bool_value"};
constexpr const NanoMessageTable* kFlagChildren[] = {nullptr, nullptr, nullptr, nullptr, nullptr};

constexpr std::int32_t kMeasurementBatchTypes[] = {
    NanoTypeMessage | NanoTypeRepeated, NanoTypeString | NanoTypeSingular,
    NanoTypeString | NanoTypeSingular, NanoTypeEnum | NanoTypeSingular};
constexpr pb_size_t kMeasurementBatchTags[] = {1, 7, 8, 9};
constexpr const char* kMeasurementBatchNames[] = {"bundles", "field_7", "field_8", "field_9"};
constexpr const NanoMessageTable* kMeasurementBatchChildren[] = {&nano_MeasurementBundle_table,
                                                                 nullptr, nullptr, nullptr};

constexpr std::int32_t kMeasurementBundleTypes[] = {
    NanoTypeInt32 | NanoTypeSingular,   NanoTypeMessage | NanoTypeRepeated,
    NanoTypeMessage | NanoTypeRepeated, NanoTypeInt64 | NanoTypeSingular,
    NanoTypeInt64 | NanoTypeSingular,   NanoTypeInt64 | NanoTypeSingular,
    NanoTypeInt64 | NanoTypeSingular,   NanoTypeInt64 | NanoTypeSingular,
    NanoTypeString | NanoTypeSingular,  NanoTypeString | NanoTypeSingular,
    NanoTypeString | NanoTypeSingular,  NanoTypeString | NanoTypeSingular,
    NanoTypeInt32 | NanoTypeSingular,   NanoTypeString | NanoTypeSingular,
    NanoTypeString | NanoTypeSingular,  NanoTypeInt64 | NanoTypeSingular,
    NanoTypeString | NanoTypeSingular,  NanoTypeInt64 | NanoTypeSingular,
    NanoTypeInt64 | NanoTypeSingular,   NanoTypeString | NanoTypeSingular,
    NanoTypeString | NanoTypeSingular,  NanoTypeBool | NanoTypeSingular,
    NanoTypeString | NanoTypeSingular,  NanoTypeInt64 | NanoTypeSingular,
    NanoTypeInt32 | NanoTypeSingular,   NanoTypeString | NanoTypeSingular,
    NanoTypeString | NanoTypeSingular,  NanoTypeBool | NanoTypeSingular,
    NanoTypeMessage | NanoTypeRepeated, NanoTypeString | NanoTypeSingular,
    NanoTypeInt32 | NanoTypeSingular,   NanoTypeInt32 | NanoTypeSingular,
    NanoTypeInt32 | NanoTypeSingular,   NanoTypeString | NanoTypeSingular,
    NanoTypeInt64 | NanoTypeSingular,   NanoTypeInt32 | NanoTypeSingular,
    NanoTypeString | NanoTypeSingular,  NanoTypeUInt32 | NanoTypeRepeated,
    NanoTypeInt64 | NanoTypeSingular,   NanoTypeString | NanoTypeSingular,
    NanoTypeString | NanoTypeSingular,  NanoTypeEnum | NanoTypeSingular,
    NanoTypeBool | NanoTypeSingular,    NanoTypeString | NanoTypeSingular,
    NanoTypeString | NanoTypeRepeated,  NanoTypeString | NanoTypeSingular,
    NanoTypeInt64 | NanoTypeSingular,   NanoTypeString | NanoTypeSingular,
    NanoTypeBool | NanoTypeSingular,    NanoTypeString | NanoTypeSingular,
    NanoTypeString | NanoTypeSingular,  NanoTypeInt32 | NanoTypeSingular};
constexpr pb_size_t kMeasurementBundleTags[] = {1,  2,  3,  4,  5,  6,  26, 7,  8,  9,  10, 11, 12,
                                                13, 14, 15, 16, 17, 18, 19, 27, 20, 21, 22, 23, 24,
                                                25, 28, 29, 30, 31, 32, 33, 34, 35, 39, 41, 45, 47,
                                                50, 52, 53, 55, 63, 64, 65, 67, 71, 72, 73, 75, 77};
constexpr const char* kMeasurementBundleNames[] = {"protocol_version",
                                                   "events",
                                                   "user_attributes",
                                                   "upload_timestamp_millis",
                                                   "start_timestamp_millis",
                                                   "end_timestamp_millis",
                                                   "previous_bundle_start_timestamp_millis",
                                                   "previous_bundle_end_timestamp_millis",
                                                   "platform",
                                                   "os_version",
                                                   "device_model",
                                                   "user_default_language",
                                                   "time_zone_offset_minutes",
                                                   "install_source",
                                                   "app_id",
                                                   "field_15",
                                                   "app_version",
                                                   "library_version",
                                                   "upload_library_version",
                                                   "resettable_device_id",
                                                   "vendor_device_id",
                                                   "limited_ad_tracking",
                                                   "app_instance_id",
                                                   "field_22",
                                                   "bundle_index",
                                                   "monitoring_data",
                                                   "viz_app_id",
                                                   "field_28",
                                                   "audience_evaluation_results",
                                                   "ziruzada_installation_id",
                                                   "app_version_major",
                                                   "app_version_minor",
                                                   "app_version_release",
                                                   "field_34",
                                                   "config_version",
                                                   "retry_count",
                                                   "rirur_app_id",
                                                   "experiment_ids",
                                                   "checksum",
                                                   "field_50",
                                                   "consent_signals",
                                                   "apple_consent_status",
                                                   "field_55",
                                                   "session_stitching_token",
                                                   "redacted_fields",
                                                   "ephemeral_app_instance_id",
                                                   "field_67",
                                                   "consent_diagnostics",
                                                   "dma_region",
                                                   "core_platform_services",
                                                   "field_75",
                                                   "field_77"};
constexpr const NanoMessageTable* kMeasurementBundleChildren[] = {
    nullptr,
    &nano_Event_table,
    &nano_UserAttribute_table,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    &nano_AudienceLeafFilterResult_table,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr};

constexpr std::int32_t kMeasurementConfigTypes[] = {
    NanoTypeInt64 | NanoTypeSingular,   NanoTypeString | NanoTypeSingular,
    NanoTypeInt32 | NanoTypeSingular,   NanoTypeMessage | NanoTypeRepeated,
    NanoTypeMessage | NanoTypeRepeated, NanoTypeMessage | NanoTypeRepeated,
    NanoTypeString | NanoTypeSingular,  NanoTypeBool | NanoTypeSingular,
    NanoTypeMessage | NanoTypeRepeated, NanoTypeMessage | NanoTypeRepeated,
    NanoTypeString | NanoTypeSingular,  NanoTypeString | NanoTypeSingular,
    NanoTypeMessage | NanoTypeSingular, NanoTypeMessage | NanoTypeSingular,
    NanoTypeMessage | NanoTypeSingular, NanoTypeMessage | NanoTypeSingular};
constexpr pb_size_t kMeasurementConfigTags[] = {1, 2,  3,  4,  5,  6,  7,  8,
                                                9, 10, 11, 14, 15, 16, 17, 18};
constexpr const char* kMeasurementConfigNames[] = {
    "version",        "app_id",           "field_3",
    "settings",       "event_config",     "audiences",
    "rirur_app_id",   "field_8",          "dynamic_event_editing",
    "data_controls",  "upload_subdomain", "field_14",
    "consent_config", "psm_setting",      "srtm_setting",
    "region"};
constexpr const NanoMessageTable* kMeasurementConfigChildren[] = {nullptr,
                                                                  nullptr,
                                                                  nullptr,
                                                                  &nano_Setting_table,
                                                                  &nano_EventConfig_table,
                                                                  &nano_Audience_table,
                                                                  nullptr,
                                                                  nullptr,
                                                                  &nano_Program_table,
                                                                  &nano_DataControl_table,
                                                                  nullptr,
                                                                  nullptr,
                                                                  &nano_ConsentConfig_table,
                                                                  &nano_PsmSetting_table,
                                                                  &nano_SrtmSetting_table,
                                                                  &nano_Region_table};

constexpr std::int32_t kSettingTypes[] = {NanoTypeString | NanoTypeSingular,
                                          NanoTypeString | NanoTypeSingular};
constexpr pb_size_t kSettingTags[] = {1, 2};
constexpr const char* kSettingNames[] = {"name", "value"};
constexpr const NanoMessageTable* kSettingChildren[] = {nullptr, nullptr};

constexpr std::int32_t kPsmSettingTypes[] = {NanoTypeInt32 | NanoTypeSingular,
                                             NanoTypeInt32 | NanoTypeSingular,
                                             NanoTypeInt32 | NanoTypeSingular};
constexpr pb_size_t kPsmSettingTags[] = {1, 2, 3};
constexpr const char* kPsmSettingNames[] = {"prefix_email", "prefix_phone", "signin_delay"};
constexpr const NanoMessageTable* kPsmSettingChildren[] = {nullptr, nullptr, nullptr};

constexpr std::int32_t kDataControlTypes[] = {NanoTypeString | NanoTypeSingular,
                                              NanoTypeMessage | NanoTypeRepeated,
                                              NanoTypeBool | NanoTypeSingular};
constexpr pb_size_t kDataControlTags[] = {1, 2, 3};
constexpr const char* kDataControlNames[] = {"redacted_field", "opt_out_regions", "field_3"};
constexpr const NanoMessageTable* kDataControlChildren[] = {nullptr, &nano_Region_table, nullptr};

constexpr std::int32_t kRegionTypes[] = {NanoTypeString | NanoTypeSingular,
                                         NanoTypeString | NanoTypeSingular};
constexpr pb_size_t kRegionTags[] = {1, 2};
constexpr const char* kRegionNames[] = {"field_1", "field_2"};
constexpr const NanoMessageTable* kRegionChildren[] = {nullptr, nullptr};

constexpr std::int32_t kSrtmSettingTypes[] = {
    NanoTypeString | NanoTypeSingular, NanoTypeString | NanoTypeSingular,
    NanoTypeString | NanoTypeSingular, NanoTypeInt32 | NanoTypeSingular};
constexpr pb_size_t kSrtmSettingTags[] = {1, 2, 3, 4};
constexpr const char* kSrtmSettingNames[] = {"field_1", "field_2", "field_3", "field_4"};
constexpr const NanoMessageTable* kSrtmSettingChildren[] = {nullptr, nullptr, nullptr, nullptr};

constexpr std::int32_t kProgramTypes[] = {NanoTypeMessage | NanoTypeRepeated,
                                          NanoTypeMessage | NanoTypeSingular};
constexpr pb_size_t kProgramTags[] = {1, 2};
constexpr const char* kProgramNames[] = {"instructions", "ogt_activities"};
constexpr const NanoMessageTable* kProgramChildren[] = {&nano_RuntimeEntity_table,
                                                        &nano_OgtActivities_table};

constexpr std::int32_t kOgtActivitiesTypes[] = {NanoTypeMessage | NanoTypeRepeated};
constexpr pb_size_t kOgtActivitiesTags[] = {1};
constexpr const char* kOgtActivitiesNames[] = {"activities"};
constexpr const NanoMessageTable* kOgtActivitiesChildren[] = {&nano_OgtActivity_table};

constexpr std::int32_t kOgtActivityTypes[] = {NanoTypeString | NanoTypeSingular,
                                              NanoTypeMessage | NanoTypeRepeated};
constexpr pb_size_t kOgtActivityTags[] = {1, 2};
constexpr const char* kOgtActivityNames[] = {"name", "data"};
constexpr const NanoMessageTable* kOgtActivityChildren[] = {nullptr, &nano_RuntimeEntity_table};

constexpr std::int32_t kRuntimeEntityTypes[] = {
    NanoTypeEnum | NanoTypeSingular,   NanoTypeMessage | NanoTypeRepeated,
    NanoTypeString | NanoTypeSingular, NanoTypeString | NanoTypeSingular,
    NanoTypeBool | NanoTypeSingular,   NanoTypeDouble | NanoTypeSingular};
constexpr pb_size_t kRuntimeEntityTags[] = {1, 2, 3, 4, 5, 6};
constexpr const char* kRuntimeEntityNames[] = {"type",         "value",         "function_name",
                                               "string_value", "boolean_value", "number_value"};
constexpr const NanoMessageTable* kRuntimeEntityChildren[] = {
    nullptr, &nano_RuntimeEntity_table, nullptr, nullptr, nullptr, nullptr};

}  // namespace

const NanoMessageTable nano_Audience_table = {"Audience",         5,
                                              kAudienceTypes,     kAudienceTags,
                                              kAudienceNames,     kAudienceChildren,
                                              &nano_Audience_msg, sizeof(nano_Audience)};
const NanoMessageTable nano_EventFilter_table = {"EventFilter",         8,
                                                 kEventFilterTypes,     kEventFilterTags,
                                                 kEventFilterNames,     kEventFilterChildren,
                                                 &nano_EventFilter_msg, sizeof(nano_EventFilter)};
const NanoMessageTable nano_PropertyFilter_table = {
    "PropertyFilter",         6,
    kPropertyFilterTypes,     kPropertyFilterTags,
    kPropertyFilterNames,     kPropertyFilterChildren,
    &nano_PropertyFilter_msg, sizeof(nano_PropertyFilter)};
const NanoMessageTable nano_Filter_table = {"Filter",         4,
                                            kFilterTypes,     kFilterTags,
                                            kFilterNames,     kFilterChildren,
                                            &nano_Filter_msg, sizeof(nano_Filter)};
const NanoMessageTable nano_StringFilter_table = {
    "StringFilter",         4,
    kStringFilterTypes,     kStringFilterTags,
    kStringFilterNames,     kStringFilterChildren,
    &nano_StringFilter_msg, sizeof(nano_StringFilter)};
const NanoMessageTable nano_NumberFilter_table = {
    "NumberFilter",         5,
    kNumberFilterTypes,     kNumberFilterTags,
    kNumberFilterNames,     kNumberFilterChildren,
    &nano_NumberFilter_msg, sizeof(nano_NumberFilter)};
const NanoMessageTable nano_AudienceLeafFilterResult_table = {
    "AudienceLeafFilterResult",         4,
    kAudienceLeafFilterResultTypes,     kAudienceLeafFilterResultTags,
    kAudienceLeafFilterResultNames,     kAudienceLeafFilterResultChildren,
    &nano_AudienceLeafFilterResult_msg, sizeof(nano_AudienceLeafFilterResult)};
const NanoMessageTable nano_ResultData_table = {"ResultData",         4,
                                                kResultDataTypes,     kResultDataTags,
                                                kResultDataNames,     kResultDataChildren,
                                                &nano_ResultData_msg, sizeof(nano_ResultData)};
const NanoMessageTable nano_DynamicFilterResultTimestamp_table = {
    "DynamicFilterResultTimestamp",         2,
    kDynamicFilterResultTimestampTypes,     kDynamicFilterResultTimestampTags,
    kDynamicFilterResultTimestampNames,     kDynamicFilterResultTimestampChildren,
    &nano_DynamicFilterResultTimestamp_msg, sizeof(nano_DynamicFilterResultTimestamp)};
const NanoMessageTable nano_SequenceFilterResultTimestamp_table = {
    "SequenceFilterResultTimestamp",         2,
    kSequenceFilterResultTimestampTypes,     kSequenceFilterResultTimestampTags,
    kSequenceFilterResultTimestampNames,     kSequenceFilterResultTimestampChildren,
    &nano_SequenceFilterResultTimestamp_msg, sizeof(nano_SequenceFilterResultTimestamp)};
const NanoMessageTable nano_ConsentConfig_table = {
    "ConsentConfig",         5,
    kConsentConfigTypes,     kConsentConfigTags,
    kConsentConfigNames,     kConsentConfigChildren,
    &nano_ConsentConfig_msg, sizeof(nano_ConsentConfig)};
const NanoMessageTable nano_ConsentDefaultEntry_table = {
    "ConsentDefaultEntry",         2,
    kConsentDefaultEntryTypes,     kConsentDefaultEntryTags,
    kConsentDefaultEntryNames,     kConsentDefaultEntryChildren,
    &nano_ConsentDefaultEntry_msg, sizeof(nano_ConsentDefaultEntry)};
const NanoMessageTable nano_ConsentDelegationEntry_table = {
    "ConsentDelegationEntry",         2,
    kConsentDelegationEntryTypes,     kConsentDelegationEntryTags,
    kConsentDelegationEntryNames,     kConsentDelegationEntryChildren,
    &nano_ConsentDelegationEntry_msg, sizeof(nano_ConsentDelegationEntry)};
const NanoMessageTable nano_CorePlatformServiceEntry_table = {
    "CorePlatformServiceEntry",         2,
    kCorePlatformServiceEntryTypes,     kCorePlatformServiceEntryTags,
    kCorePlatformServiceEntryNames,     kCorePlatformServiceEntryChildren,
    &nano_CorePlatformServiceEntry_msg, sizeof(nano_CorePlatformServiceEntry)};
const NanoMessageTable nano_Event_table = {
    "Event",           5, kEventTypes, kEventTags, kEventNames, kEventChildren, &nano_Event_msg,
    sizeof(nano_Event)};
const NanoMessageTable nano_EventParam_table = {"EventParam",         6,
                                                kEventParamTypes,     kEventParamTags,
                                                kEventParamNames,     kEventParamChildren,
                                                &nano_EventParam_msg, sizeof(nano_EventParam)};
const NanoMessageTable nano_UserAttribute_table = {
    "UserAttribute",         6,
    kUserAttributeTypes,     kUserAttributeTags,
    kUserAttributeNames,     kUserAttributeChildren,
    &nano_UserAttribute_msg, sizeof(nano_UserAttribute)};
const NanoMessageTable nano_EventConfig_table = {"EventConfig",         4,
                                                 kEventConfigTypes,     kEventConfigTags,
                                                 kEventConfigNames,     kEventConfigChildren,
                                                 &nano_EventConfig_msg, sizeof(nano_EventConfig)};
const NanoMessageTable nano_ExperimentRequest_table = {
    "ExperimentRequest",         2,
    kExperimentRequestTypes,     kExperimentRequestTags,
    kExperimentRequestNames,     kExperimentRequestChildren,
    &nano_ExperimentRequest_msg, sizeof(nano_ExperimentRequest)};
const NanoMessageTable nano_AppProperty_table = {"AppProperty",         7,
                                                 kAppPropertyTypes,     kAppPropertyTags,
                                                 kAppPropertyNames,     kAppPropertyChildren,
                                                 &nano_AppProperty_msg, sizeof(nano_AppProperty)};
const NanoMessageTable nano_ClientProperty_table = {
    "ClientProperty",         5,
    kClientPropertyTypes,     kClientPropertyTags,
    kClientPropertyNames,     kClientPropertyChildren,
    &nano_ClientProperty_msg, sizeof(nano_ClientProperty)};
const NanoMessageTable nano_CustomProperty_table = {
    "CustomProperty",         2,
    kCustomPropertyTypes,     kCustomPropertyTags,
    kCustomPropertyNames,     kCustomPropertyChildren,
    &nano_CustomProperty_msg, sizeof(nano_CustomProperty)};
const NanoMessageTable nano_ExperimentResponse_table = {
    "ExperimentResponse",         2,
    kExperimentResponseTypes,     kExperimentResponseTags,
    kExperimentResponseNames,     kExperimentResponseChildren,
    &nano_ExperimentResponse_msg, sizeof(nano_ExperimentResponse)};
const NanoMessageTable nano_SdkResponse_table = {"SdkResponse",         3,
                                                 kSdkResponseTypes,     kSdkResponseTags,
                                                 kSdkResponseNames,     kSdkResponseChildren,
                                                 &nano_SdkResponse_msg, sizeof(nano_SdkResponse)};
const NanoMessageTable nano_Snapshot_table = {"Snapshot",         2,
                                              kSnapshotTypes,     kSnapshotTags,
                                              kSnapshotNames,     kSnapshotChildren,
                                              &nano_Snapshot_msg, sizeof(nano_Snapshot)};
const NanoMessageTable nano_Experiment_table = {"Experiment",         2,
                                                kExperimentTypes,     kExperimentTags,
                                                kExperimentNames,     kExperimentChildren,
                                                &nano_Experiment_msg, sizeof(nano_Experiment)};
const NanoMessageTable nano_Flag_table = {
    "Flag", 5, kFlagTypes, kFlagTags, kFlagNames, kFlagChildren, &nano_Flag_msg, sizeof(nano_Flag)};
const NanoMessageTable nano_MeasurementBatch_table = {
    "MeasurementBatch",         4,
    kMeasurementBatchTypes,     kMeasurementBatchTags,
    kMeasurementBatchNames,     kMeasurementBatchChildren,
    &nano_MeasurementBatch_msg, sizeof(nano_MeasurementBatch)};
const NanoMessageTable nano_MeasurementBundle_table = {
    "MeasurementBundle",         52,
    kMeasurementBundleTypes,     kMeasurementBundleTags,
    kMeasurementBundleNames,     kMeasurementBundleChildren,
    &nano_MeasurementBundle_msg, sizeof(nano_MeasurementBundle)};
const NanoMessageTable nano_MeasurementConfig_table = {
    "MeasurementConfig",         16,
    kMeasurementConfigTypes,     kMeasurementConfigTags,
    kMeasurementConfigNames,     kMeasurementConfigChildren,
    &nano_MeasurementConfig_msg, sizeof(nano_MeasurementConfig)};
const NanoMessageTable nano_Setting_table = {"Setting",         2,
                                             kSettingTypes,     kSettingTags,
                                             kSettingNames,     kSettingChildren,
                                             &nano_Setting_msg, sizeof(nano_Setting)};
const NanoMessageTable nano_PsmSetting_table = {"PsmSetting",         3,
                                                kPsmSettingTypes,     kPsmSettingTags,
                                                kPsmSettingNames,     kPsmSettingChildren,
                                                &nano_PsmSetting_msg, sizeof(nano_PsmSetting)};
const NanoMessageTable nano_DataControl_table = {"DataControl",         3,
                                                 kDataControlTypes,     kDataControlTags,
                                                 kDataControlNames,     kDataControlChildren,
                                                 &nano_DataControl_msg, sizeof(nano_DataControl)};
const NanoMessageTable nano_Region_table = {"Region",         2,
                                            kRegionTypes,     kRegionTags,
                                            kRegionNames,     kRegionChildren,
                                            &nano_Region_msg, sizeof(nano_Region)};
const NanoMessageTable nano_SrtmSetting_table = {"SrtmSetting",         4,
                                                 kSrtmSettingTypes,     kSrtmSettingTags,
                                                 kSrtmSettingNames,     kSrtmSettingChildren,
                                                 &nano_SrtmSetting_msg, sizeof(nano_SrtmSetting)};
const NanoMessageTable nano_Program_table = {"Program",         2,
                                             kProgramTypes,     kProgramTags,
                                             kProgramNames,     kProgramChildren,
                                             &nano_Program_msg, sizeof(nano_Program)};
const NanoMessageTable nano_OgtActivities_table = {
    "OgtActivities",         1,
    kOgtActivitiesTypes,     kOgtActivitiesTags,
    kOgtActivitiesNames,     kOgtActivitiesChildren,
    &nano_OgtActivities_msg, sizeof(nano_OgtActivities)};
const NanoMessageTable nano_OgtActivity_table = {"OgtActivity",         2,
                                                 kOgtActivityTypes,     kOgtActivityTags,
                                                 kOgtActivityNames,     kOgtActivityChildren,
                                                 &nano_OgtActivity_msg, sizeof(nano_OgtActivity)};
const NanoMessageTable nano_RuntimeEntity_table = {
    "RuntimeEntity",         6,
    kRuntimeEntityTypes,     kRuntimeEntityTags,
    kRuntimeEntityNames,     kRuntimeEntityChildren,
    &nano_RuntimeEntity_msg, sizeof(nano_RuntimeEntity)};
