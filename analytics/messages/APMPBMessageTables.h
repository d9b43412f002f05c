// APMPBMessageTables: the table of every analytics wire message, which the message engine
// needs to build, copy, encode and decode it by field index.
#pragma once

#include "analytics/messages/APMPBMessageEngine.h"

extern const NanoMessageTable nano_AppProperty_table;
extern const NanoMessageTable nano_Audience_table;
extern const NanoMessageTable nano_AudienceLeafFilterResult_table;
extern const NanoMessageTable nano_ClientProperty_table;
extern const NanoMessageTable nano_ConsentConfig_table;
extern const NanoMessageTable nano_ConsentDefaultEntry_table;
extern const NanoMessageTable nano_ConsentDelegationEntry_table;
extern const NanoMessageTable nano_CorePlatformServiceEntry_table;
extern const NanoMessageTable nano_CustomProperty_table;
extern const NanoMessageTable nano_DataControl_table;
extern const NanoMessageTable nano_DynamicFilterResultTimestamp_table;
extern const NanoMessageTable nano_Event_table;
extern const NanoMessageTable nano_EventConfig_table;
extern const NanoMessageTable nano_EventFilter_table;
extern const NanoMessageTable nano_EventParam_table;
extern const NanoMessageTable nano_Experiment_table;
extern const NanoMessageTable nano_ExperimentRequest_table;
extern const NanoMessageTable nano_ExperimentResponse_table;
extern const NanoMessageTable nano_Filter_table;
extern const NanoMessageTable nano_Flag_table;
extern const NanoMessageTable nano_MeasurementBatch_table;
extern const NanoMessageTable nano_MeasurementBundle_table;
extern const NanoMessageTable nano_MeasurementConfig_table;
extern const NanoMessageTable nano_NumberFilter_table;
extern const NanoMessageTable nano_OgtActivities_table;
extern const NanoMessageTable nano_OgtActivity_table;
extern const NanoMessageTable nano_Program_table;
extern const NanoMessageTable nano_PropertyFilter_table;
extern const NanoMessageTable nano_PsmSetting_table;
extern const NanoMessageTable nano_Region_table;
extern const NanoMessageTable nano_ResultData_table;
extern const NanoMessageTable nano_RuntimeEntity_table;
extern const NanoMessageTable nano_SdkResponse_table;
extern const NanoMessageTable nano_SequenceFilterResultTimestamp_table;
extern const NanoMessageTable nano_Setting_table;
extern const NanoMessageTable nano_Snapshot_table;
extern const NanoMessageTable nano_SrtmSetting_table;
extern const NanoMessageTable nano_StringFilter_table;
extern const NanoMessageTable nano_UserAttribute_table;
