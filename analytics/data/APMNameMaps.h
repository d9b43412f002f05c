// The fixed tables that join the public names applications log under ("screen_view",
// "engagement_time_msec", "user_id") to the short internal names the client stores and
// uploads ("_vs", "_et", "_id"), the lists that mark ecommerce events, standard item
// parameters and purchase events, and small predicates over names and screen parameters.
// Every table is built once on first use and only read afterwards, so all of this may be
// called from any thread.
#pragma once

#include <optional>
#include <string_view>

#include "platform/value.h"

// Public event name to internal event name (every value a string). "ziruzada_campaign" and
// "da_campaign" share "_cmp".
const platform::Dictionary& APMEventNameMap();
// Internal event name to public event name, the inverse of APMEventNameMap; "_cmp" maps back
// to "da_campaign".
const platform::Dictionary& APMEventNameReverseMap();
// The reserved event names a public caller may still log: "ad_impression" only.
const platform::Dictionary& APMReservedEventNamesAllowedForPublicLogging();
// Public parameter name to internal parameter name; several public names share one.
const platform::Dictionary& APMParameterNameMap();
// Public user property name to internal user property name.
const platform::Dictionary& internalUserPropertyNamesByPublicName();

// The only events that may carry the "items" array.
bool APMIsEcommerceEventName(std::string_view name);
// Standard parameters of an "items" element; they are not custom parameters.
bool APMIsItemParameterName(std::string_view name);
bool APMIsPurchaseEventName(std::string_view name);

// A non-empty string whose first character is not "_". A non-string (none included) and an
// empty string are logged and give false.
bool APMIsPublicName(const std::optional<platform::Value>& object);
// False only for the error event "_err".
bool APMIsNotErrorEventName(std::string_view name);

// Whether any of the screen parameters "_sn", "_sc", "_si" is present.
bool APMHasScreenParameters(const platform::Dictionary& parameters);
// A new dictionary with just those of "_sn", "_sc", "_si" that the given one holds.
platform::Dictionary APMScreenParameters(const platform::Dictionary& parameters);
