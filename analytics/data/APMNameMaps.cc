#include "analytics/data/APMNameMaps.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <utility>

#include "analytics/messages/APMServices.h"

namespace {

using NamePair = std::pair<const char*, const char*>;

platform::Dictionary dictionaryOf(std::initializer_list<NamePair> pairs) {
  platform::Dictionary dictionary;
  for (const auto& [key, value] : pairs) dictionary.set(key, value);
  return dictionary;
}

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

constexpr std::array<std::string_view, 20> kEcommerceEventNames = {
    "add_payment_info", "add_shipping_info", "add_to_cart",      "add_to_wishlist",
    "begin_checkout",   "purchase",          "refund",           "remove_from_cart",
    "select_item",      "select_promotion",  "view_cart",        "view_item",
    "view_item_list",   "view_promotion",    "ecommerce_purchase", "checkout_progress",
    "purchase_refund",  "select_content",    "set_checkout_option", "view_search_results"};

constexpr std::array<std::string_view, 33> kItemParameterNames = {
    "affiliation",    "coupon",         "creative_name",  "creative_slot",  "currency",
    "discount",       "index",          "item_id",        "item_brand",     "item_category",
    "item_category2", "item_category3", "item_category4", "item_category5", "item_list_name",
    "item_list_id",   "item_name",      "item_variant",   "location_id",    "payment_type",
    "price",          "promotion_id",   "promotion_name", "quantity",       "shipping",
    "shipping_tier",  "tax",            "transaction_id", "value",          "checkout_step",
    "checkout_option", "item_list",     "item_location_id"};

constexpr std::array<std::string_view, 5> kPurchaseEventNames = {
    "ecommerce_purchase", "_f", "_iap", "purchase", "refund"};

// In the order a dictionary made from them is shown.
constexpr std::array<const char*, 3> kScreenParameterNames = {"_sn", "_sc", "_si"};

}  // namespace

// The maps are never destroyed: events are still checked on worker queues while the process
// exits.
const platform::Dictionary& APMEventNameMap() {
  // "ziruzada_campaign" comes before "da_campaign" so that the reverse map, which keeps the
  // last of the names sharing "_cmp", shows the shorter one.
  static const platform::Dictionary& map = *new platform::Dictionary(dictionaryOf({
      {"adunit_exposure", "_xu"},
      {"ad_activeview", "_aa"},
      {"ad_click", "_ac"},
      {"ad_exposure", "_xa"},
      {"ad_impression", "_ai"},
      {"ad_query", "_aq"},
      {"ad_reward", "_ar"},
      {"app_clear_data", "_cd"},
      {"app_exception", "_ae"},
      {"app_remove", "_ui"},
      {"app_store_refund", "_asr"},
      {"app_store_subscription_cancel", "_asse"},
      {"app_store_subscription_convert", "_assc"},
      {"app_store_subscription_renew", "_assr"},
      {"app_update", "_au"},
      {"app_upgrade", "_ug"},
      {"error", "_err"},
      {"ziruzada_campaign", "_cmp"},
      {"first_open", "_f"},
      {"first_visit", "_v"},
      {"da_campaign", "_cmp"},
      {"da_extra_parameter", "_ep"},
      {"in_app_purchase", "_iap"},
      {"notification_dismiss", "_nd"},
      {"notification_foreground", "_nf"},
      {"notification_open", "_no"},
      {"notification_receive", "_nr"},
      {"os_update", "_ou"},
      {"screen_view", "_vs"},
      {"session_start", "_s"},
      {"session_start_with_rollout", "_ssr"},
      {"user_engagement", "_e"},
  }));
  return map;
}

const platform::Dictionary& APMEventNameReverseMap() {
  static const platform::Dictionary& map = *new platform::Dictionary([] {
    platform::Dictionary reverse;
    for (const auto& [publicName, internalName] : APMEventNameMap()) {
      reverse.set(*internalName.asString(), publicName);
    }
    return reverse;
  }());
  return map;
}

const platform::Dictionary& APMReservedEventNamesAllowedForPublicLogging() {
  static const platform::Dictionary& map =
      *new platform::Dictionary(dictionaryOf({{"ad_impression", "_ai"}}));
  return map;
}

const platform::Dictionary& APMParameterNameMap() {
  static const platform::Dictionary& map = *new platform::Dictionary(dictionaryOf({
      {"ad_event_id", "_aeid"},
      {"ad_unit_id", "_ai"},
      {"app_in_background", "_aib"},
      {"deferred_analytics_collection", "_dac"},
      {"engagement_time_msec", "_et"},
      {"exposure_time", "_xt"},
      {"ziruzada_conversion", "_c"},
      {"ziruzada_debug", "_dbg"},
      {"ziruzada_error", "_err"},
      {"ziruzada_error_length", "_el"},
      {"ziruzada_error_value", "_ev"},
      {"ziruzada_event_origin", "_o"},
      {"ziruzada_feature_rollouts", "_ffr"},
      {"ziruzada_previous_class", "_pc"},
      {"ziruzada_previous_id", "_pi"},
      {"ziruzada_previous_screen", "_pn"},
      {"ziruzada_realtime", "_r"},
      {"ziruzada_screen", "_sn"},
      {"ziruzada_screen_class", "_sc"},
      {"ziruzada_screen_id", "_si"},
      {"da_conversion", "_c"},
      {"da_debug", "_dbg"},
      {"da_dedupe_id", "_did"},
      {"da_error", "_err"},
      {"da_error_length", "_el"},
      {"da_error_value", "_ev"},
      {"da_event_id", "_eid"},
      {"da_event_name", "_en"},
      {"da_event_origin", "_o"},
      {"da_extra_params_ct", "_epc"},
      {"da_group_name", "_gn"},
      {"da_index", "_i"},
      {"da_list_length", "_ll"},
      {"da_previous_class", "_pc"},
      {"da_previous_id", "_pi"},
      {"da_previous_screen", "_pn"},
      {"da_realtime", "_r"},
      {"da_screen", "_sn"},
      {"da_screen_class", "_sc"},
      {"da_screen_id", "_si"},
      {"message_id", "_nmid"},
      {"message_name", "_nmn"},
      {"message_time", "_nmt"},
      {"message_tracking_id", "_nmtid"},
      {"message_type", "_nmc"},
      {"message_device_time", "_ndt"},
      {"previous_app_version", "_pv"},
      {"previous_first_open_count", "_pfo"},
      {"previous_viz_app_id", "_pviz"},
      {"previous_os_version", "_po"},
      {"session_id", "_sid"},
      {"session_number", "_sno"},
      {"topic", "_nt"},
      {"update_with_analytics", "_uwa"},
  }));
  return map;
}

const platform::Dictionary& internalUserPropertyNamesByPublicName() {
  static const platform::Dictionary& map = *new platform::Dictionary(dictionaryOf({
      {"ziruzada_last_notification", "_ln"},
      {"first_open_after_install", "_fi"},
      {"first_open_time", "_fot"},
      {"da_session_id", "_sid"},
      {"da_session_number", "_sno"},
      {"last_advertising_id_reset", "_lair"},
      {"last_deep_link_referrer", "_ldl"},
      {"lifetime_user_engagement", "_lte"},
      {"session_user_engagement", "_se"},
      {"user_id", "_id"},
  }));
  return map;
}

bool APMIsEcommerceEventName(std::string_view name) { return contains(kEcommerceEventNames, name); }

bool APMIsItemParameterName(std::string_view name) { return contains(kItemParameterNames, name); }

bool APMIsPurchaseEventName(std::string_view name) { return contains(kPurchaseEventNames, name); }

bool APMIsPublicName(const std::optional<platform::Value>& object) {
  const std::string* name = object ? object->asString() : nullptr;
  if (name == nullptr) {
    APMServicesMonitor()->logWithLevel(2, 18002, "Cannot check the name. Name is not a string");
    return false;
  }
  if (name->empty()) {
    APMServicesMonitor()->logWithLevel(2, 18003, "Cannot check the name. Name is empty");
    return false;
  }
  return name->front() != '_';
}

bool APMIsNotErrorEventName(std::string_view name) { return name != "_err"; }

bool APMHasScreenParameters(const platform::Dictionary& parameters) {
  return std::any_of(kScreenParameterNames.begin(), kScreenParameterNames.end(),
                     [&](const char* name) { return parameters.contains(name); });
}

platform::Dictionary APMScreenParameters(const platform::Dictionary& parameters) {
  platform::Dictionary screenParameters;
  for (const char* name : kScreenParameterNames) {
    if (const platform::Value* value = parameters.find(name)) screenParameters.set(name, *value);
  }
  return screenParameters;
}
