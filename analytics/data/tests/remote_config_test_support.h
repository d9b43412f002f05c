// Fakes for the remote configuration's neighbours: an experiment manager with its one client,
// a script engine that records what it is asked to make and load, and builders of
// measurement configurations field by field.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analytics/data/APMExperimentServices.h"
#include "analytics/data/APMScriptServices.h"
#include "analytics/messages/APMPBFieldIndexes.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "analytics/messages/APMPBMessages.h"
#include "platform/error.h"
#include "platform/value.h"

namespace analytics_test {

class FakeExperimentClient : public APMEClient {
 public:
  void setDelegate(const std::weak_ptr<APMEExperimentObserverDelegate>& delegate) override {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
  }
  bool activateLatestSnapshot(platform::ErrorPtr* error) override {
    std::lock_guard lock(mutex_);
    ++activations_;
    if (activationError_ && error != nullptr) *error = activationError_;
    if (!activationSucceeds_) return false;
    flags_ = pendingFlags_;
    return true;
  }
  std::optional<platform::Value> objectForKeyedSubscript(const std::string& flag) const override {
    std::lock_guard lock(mutex_);
    const platform::Value* found = flags_.find(flag);
    if (found == nullptr) return std::nullopt;
    return *found;
  }

  // The flags that the next successful activation makes active.
  void setPendingFlags(platform::Dictionary flags) {
    std::lock_guard lock(mutex_);
    pendingFlags_ = std::move(flags);
  }
  void setActiveFlags(platform::Dictionary flags) {
    std::lock_guard lock(mutex_);
    flags_ = std::move(flags);
  }
  void failActivations(platform::ErrorPtr error) {
    std::lock_guard lock(mutex_);
    activationSucceeds_ = false;
    activationError_ = std::move(error);
  }
  void succeedActivations() {
    std::lock_guard lock(mutex_);
    activationSucceeds_ = true;
    activationError_ = nullptr;
  }
  int activations() const {
    std::lock_guard lock(mutex_);
    return activations_;
  }
  std::shared_ptr<APMEExperimentObserverDelegate> delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
  }

 private:
  mutable std::mutex mutex_;
  std::weak_ptr<APMEExperimentObserverDelegate> delegate_;
  platform::Dictionary flags_;
  platform::Dictionary pendingFlags_;
  bool activationSucceeds_ = true;
  platform::ErrorPtr activationError_;
  int activations_ = 0;
};

class FakeExperimentManager : public APMEManager {
 public:
  std::shared_ptr<APMEClient>
  registerSDKProperty(const std::shared_ptr<APMESDKProperty>& property,
                      const platform::Dictionary& defaultFlags) override {
    std::lock_guard lock(mutex_);
    property_ = property;
    defaultFlags_ = defaultFlags;
    return client_;
  }
  platform::Array experimentIDs() const override {
    std::lock_guard lock(mutex_);
    return experimentIDs_;
  }
  void reset() override {
    std::lock_guard lock(mutex_);
    ++resets_;
  }

  const std::shared_ptr<FakeExperimentClient>& client() const { return client_; }
  std::shared_ptr<APMESDKProperty> property() const {
    std::lock_guard lock(mutex_);
    return property_;
  }
  platform::Dictionary defaultFlags() const {
    std::lock_guard lock(mutex_);
    return defaultFlags_;
  }
  void setExperimentIDs(platform::Array ids) {
    std::lock_guard lock(mutex_);
    experimentIDs_ = std::move(ids);
  }
  int resets() const {
    std::lock_guard lock(mutex_);
    return resets_;
  }

 private:
  mutable std::mutex mutex_;
  const std::shared_ptr<FakeExperimentClient> client_ = std::make_shared<FakeExperimentClient>();
  std::shared_ptr<APMESDKProperty> property_;
  platform::Dictionary defaultFlags_;
  platform::Array experimentIDs_;
  int resets_ = 0;
};

class FakeKeyValueStore : public APMPKeyValueStore {
 public:
  FakeKeyValueStore(std::string functionName,
                    std::function<std::optional<std::string>(const std::string&)> block)
      : functionName(std::move(functionName)), getValue(std::move(block)) {}
  const std::string functionName;
  const std::function<std::optional<std::string>(const std::string&)> getValue;
};

class FakeObjectProvider : public APMPObjectProvider {
 public:
  FakeObjectProvider(std::string name, std::function<platform::Dictionary()> block)
      : name(std::move(name)), block(std::move(block)) {}
  const std::string name;
  const std::function<platform::Dictionary()> block;
};

class FakePixieLogger : public APMPixieLogger {};

class FakeMessageLogger : public APMPMessageLogger {
 public:
  explicit FakeMessageLogger(std::shared_ptr<APMPixieLogger> logger) : logger(std::move(logger)) {}
  const std::shared_ptr<APMPixieLogger> logger;
};

// Keeps the module creators and the programs it is asked to load; fails loads on request.
class FakeEventEditing : public APMPEventEditing {
 public:
  explicit FakeEventEditing(bool failLoads) : failLoads_(failLoads) {}
  void setModuleCreator(APMPModuleCreator creator, const std::string& forName) override {
    creators[forName] = std::move(creator);
  }
  bool loadProgram(const std::shared_ptr<APMPBProgram>& program,
                   platform::ErrorPtr* error) override {
    loaded.push_back(program);
    if (!failLoads_) return true;
    if (error != nullptr) *error = platform::makeError("APMPEventEditing", 5);
    return false;
  }

  std::map<std::string, APMPModuleCreator> creators;
  std::vector<std::shared_ptr<APMPBProgram>> loaded;

 private:
  const bool failLoads_;
};

class FakeScriptEngine : public APMPScriptEngineFactory {
 public:
  std::shared_ptr<APMPEventEditing> makeEventEditing() override {
    made.push_back(std::make_shared<FakeEventEditing>(failLoads));
    return made.back();
  }
  std::shared_ptr<APMPKeyValueStore>
  makeKeyValueStore(const std::string& functionName,
                    std::function<std::optional<std::string>(const std::string&)> block) override {
    return std::make_shared<FakeKeyValueStore>(functionName, std::move(block));
  }
  std::shared_ptr<APMPObjectProvider>
  makeObjectProvider(const std::string& name,
                     std::function<platform::Dictionary()> block) override {
    return std::make_shared<FakeObjectProvider>(name, std::move(block));
  }
  std::shared_ptr<APMPixieLogger> makePixieLogger() override {
    return std::make_shared<FakePixieLogger>();
  }
  std::shared_ptr<APMPMessageLogger>
  makeMessageLogger(const std::shared_ptr<APMPixieLogger>& logger) override {
    return std::make_shared<FakeMessageLogger>(logger);
  }

  bool failLoads = false;
  std::vector<std::shared_ptr<FakeEventEditing>> made;
};

// Installs a script engine for the scope, and none after it.
class ScopedScriptEngine {
 public:
  ScopedScriptEngine() { APMPSetScriptEngine(engine_); }
  ~ScopedScriptEngine() { APMPSetScriptEngine(nullptr); }
  ScopedScriptEngine(const ScopedScriptEngine&) = delete;
  ScopedScriptEngine& operator=(const ScopedScriptEngine&) = delete;
  FakeScriptEngine* operator->() const { return engine_.get(); }

 private:
  const std::shared_ptr<FakeScriptEngine> engine_ = std::make_shared<FakeScriptEngine>();
};

inline std::shared_ptr<APMPBMeasurementConfig>
makeMeasurementConfig(const std::optional<std::string>& appID,
                      std::optional<std::int64_t> version = 1) {
  auto config = APMPBMeasurementConfig::initWithMessageInfo(nullptr);
  if (appID) nano_set_string_field(config.get(), APMPBMeasurementConfigFields::kAppID, *appID);
  if (version) nano_set_int64(config.get(), APMPBMeasurementConfigFields::kVersion, *version);
  return config;
}

template <typename Message>
void setMessages(NANOMessageBase* parent, std::int32_t index,
                 const std::vector<std::shared_ptr<Message>>& messages) {
  NanoObjectArray array;
  for (const auto& message : messages) array.emplace_back(NanoMessagePtr(message));
  nano_set_array(parent, index, &array);
}

// Name and value; none leaves the field out.
inline void setSettings(
    APMPBMeasurementConfig* config,
    const std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>>& rows) {
  std::vector<std::shared_ptr<APMPBSetting>> settings;
  for (const auto& [name, value] : rows) {
    auto setting = APMPBSetting::initWithMessageInfo(nullptr);
    if (name) nano_set_string_field(setting.get(), APMPBSettingFields::kName, *name);
    if (value) nano_set_string_field(setting.get(), APMPBSettingFields::kValue, *value);
    settings.push_back(setting);
  }
  setMessages(config, APMPBMeasurementConfigFields::kSettings, settings);
}

struct EventConfigRow {
  std::string name;
  std::optional<bool> blocklisted;
  std::optional<bool> customConversion;
  std::optional<std::int32_t> samplingRate;
};

inline void setEventConfigs(APMPBMeasurementConfig* config,
                            const std::vector<EventConfigRow>& rows) {
  std::vector<std::shared_ptr<APMPBEventConfig>> eventConfigs;
  for (const EventConfigRow& row : rows) {
    auto eventConfig = APMPBEventConfig::initWithMessageInfo(nullptr);
    if (!row.name.empty())
      nano_set_string_field(eventConfig.get(), APMPBEventConfigFields::kName, row.name);
    if (row.blocklisted) nano_set_bool_field(eventConfig.get(), 1, *row.blocklisted);
    if (row.customConversion) nano_set_bool_field(eventConfig.get(), 2, *row.customConversion);
    if (row.samplingRate) nano_set_int32(eventConfig.get(), 3, *row.samplingRate);
    eventConfigs.push_back(eventConfig);
  }
  setMessages(config, APMPBMeasurementConfigFields::kEventConfigs, eventConfigs);
}

// That many empty programs.
inline void setPrograms(APMPBMeasurementConfig* config, int count) {
  std::vector<std::shared_ptr<APMPBProgram>> programs;
  for (int i = 0; i < count; ++i) programs.push_back(APMPBProgram::initWithMessageInfo(nullptr));
  setMessages(config, APMPBMeasurementConfigFields::kPrograms, programs);
}

inline void setDataControls(APMPBMeasurementConfig* config,
                            const std::vector<std::optional<std::string>>& names) {
  std::vector<std::shared_ptr<APMPBDataControl>> controls;
  for (const auto& name : names) {
    auto control = APMPBDataControl::initWithMessageInfo(nullptr);
    if (name) nano_set_string_field(control.get(), 0, *name);
    controls.push_back(control);
  }
  setMessages(config, APMPBMeasurementConfigFields::kDataControls, controls);
}

struct ConsentRows {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> defaults;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> delegations;
  std::vector<std::optional<std::string>> services;
  std::optional<bool> dmaRegion;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> regionalDefaults;
};

template <typename Entry>
std::vector<std::shared_ptr<Entry>>
consentEntries(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& rows) {
  std::vector<std::shared_ptr<Entry>> entries;
  for (const auto& [first, second] : rows) {
    auto entry = Entry::initWithMessageInfo(nullptr);
    nano_set_int32(entry.get(), 0, static_cast<std::int32_t>(first));
    nano_set_int32(entry.get(), 1, static_cast<std::int32_t>(second));
    entries.push_back(entry);
  }
  return entries;
}

inline void setConsent(APMPBMeasurementConfig* config, const ConsentRows& rows) {
  auto consent = APMPBConsentConfig::initWithMessageInfo(nullptr);
  setMessages(consent.get(), 0, consentEntries<APMPBConsentDefaultEntry>(rows.defaults));
  setMessages(consent.get(), 1, consentEntries<APMPBConsentDelegationEntry>(rows.delegations));
  std::vector<std::shared_ptr<APMPBCorePlatformServiceEntry>> services;
  for (const auto& name : rows.services) {
    auto entry = APMPBCorePlatformServiceEntry::initWithMessageInfo(nullptr);
    if (name) nano_set_string_field(entry.get(), 0, *name);
    services.push_back(entry);
  }
  setMessages(consent.get(), 2, services);
  if (rows.dmaRegion) nano_set_bool_field(consent.get(), 3, *rows.dmaRegion);
  setMessages(consent.get(), 4, consentEntries<APMPBConsentDefaultEntry>(rows.regionalDefaults));
  nano_set_message(config, APMPBMeasurementConfigFields::kConsentConfig, consent.get());
}

inline void setPsm(APMPBMeasurementConfig* config, std::optional<std::int32_t> email,
                   std::optional<std::int32_t> phone, std::optional<std::int32_t> signInDelay) {
  auto psm = APMPBPsmSetting::initWithMessageInfo(nullptr);
  if (email) nano_set_int32(psm.get(), 0, *email);
  if (phone) nano_set_int32(psm.get(), 1, *phone);
  if (signInDelay) nano_set_int32(psm.get(), 2, *signInDelay);
  nano_set_message(config, APMPBMeasurementConfigFields::kPsmSetting, psm.get());
}

}  // namespace analytics_test
