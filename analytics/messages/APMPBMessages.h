// APMPBMessages: the wrapper class of every analytics wire message that other code handles as
// an object. Region and SrtmSetting have none: they are reached only as fields of others.
#pragma once

#include "analytics/messages/APMPBMessage.h"
#include "analytics/messages/APMPBMessageTables.h"

using APMPBAppProperty = APMPBMessage<nano_AppProperty_table>;
using APMPBAudience = APMPBMessage<nano_Audience_table>;
using APMPBAudienceLeafFilterResult = APMPBMessage<nano_AudienceLeafFilterResult_table>;
using APMPBClientProperty = APMPBMessage<nano_ClientProperty_table>;
using APMPBConsentConfig = APMPBMessage<nano_ConsentConfig_table>;
using APMPBConsentDefaultEntry = APMPBMessage<nano_ConsentDefaultEntry_table>;
using APMPBConsentDelegationEntry = APMPBMessage<nano_ConsentDelegationEntry_table>;
using APMPBCorePlatformServiceEntry = APMPBMessage<nano_CorePlatformServiceEntry_table>;
using APMPBCustomProperty = APMPBMessage<nano_CustomProperty_table>;
using APMPBDataControl = APMPBMessage<nano_DataControl_table>;
using APMPBDynamicFilterResultTimestamp = APMPBMessage<nano_DynamicFilterResultTimestamp_table>;
using APMPBEvent = APMPBMessage<nano_Event_table>;
using APMPBEventConfig = APMPBMessage<nano_EventConfig_table>;
using APMPBEventFilter = APMPBMessage<nano_EventFilter_table>;
using APMPBEventParam = APMPBMessage<nano_EventParam_table>;
using APMPBExperiment = APMPBMessage<nano_Experiment_table>;
using APMPBExperimentRequest = APMPBMessage<nano_ExperimentRequest_table>;
using APMPBExperimentResponse = APMPBMessage<nano_ExperimentResponse_table>;
using APMPBFilter = APMPBMessage<nano_Filter_table>;
using APMPBFlag = APMPBMessage<nano_Flag_table>;
using APMPBMeasurementBatch = APMPBMessage<nano_MeasurementBatch_table>;
using APMPBMeasurementBundle = APMPBMessage<nano_MeasurementBundle_table>;
using APMPBMeasurementConfig = APMPBMessage<nano_MeasurementConfig_table>;
using APMPBNumberFilter = APMPBMessage<nano_NumberFilter_table>;
using APMPBOgtActivities = APMPBMessage<nano_OgtActivities_table>;
using APMPBOgtActivity = APMPBMessage<nano_OgtActivity_table>;
using APMPBProgram = APMPBMessage<nano_Program_table>;
using APMPBPropertyFilter = APMPBMessage<nano_PropertyFilter_table>;
using APMPBPsmSetting = APMPBMessage<nano_PsmSetting_table>;
using APMPBResultData = APMPBMessage<nano_ResultData_table>;
using APMPBRuntimeEntity = APMPBMessage<nano_RuntimeEntity_table>;
using APMPBSdkResponse = APMPBMessage<nano_SdkResponse_table>;
using APMPBSequenceFilterResultTimestamp = APMPBMessage<nano_SequenceFilterResultTimestamp_table>;
using APMPBSetting = APMPBMessage<nano_Setting_table>;
using APMPBSnapshot = APMPBMessage<nano_Snapshot_table>;
using APMPBStringFilter = APMPBMessage<nano_StringFilter_table>;
using APMPBUserAttribute = APMPBMessage<nano_UserAttribute_table>;
