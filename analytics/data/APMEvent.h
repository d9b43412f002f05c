// APMEvent: one analytics event in memory: who logged it (its origin), its internal name,
// when it happened and when the same event last happened, and its parameters as typed
// values. Every logged event passes through it: construction checks the names and cleans the
// parameters, the event-editing scripts see it as an APMPEvent, and it is stored and read
// back in its wire form (Event). Also the event-level predicates the engine asks of an event.
//
// An event has no lock of its own: one event must not be changed from two threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "analytics/data/APMPEvent.h"
#include "analytics/data/APMValue.h"
#include "analytics/messages/APMPBMessages.h"
#include "platform/value.h"

class APMEvent {
 public:
  virtual ~APMEvent() = default;
  APMEvent(const APMEvent&) = delete;
  APMEvent& operator=(const APMEvent&) = delete;

  // Null for an invalid (or no) origin or an invalid name; the checks log their reasons.
  // With `isPublic` the name must also be one an application may log. The parameters (names
  // to plain values or APMValue objects) are cleaned; "_o" always holds the origin.
  static std::shared_ptr<APMEvent> initWithOrigin(const std::optional<std::string>& origin,
                                                  bool isPublic, const std::string& name,
                                                  double timestamp, double previousTimestamp,
                                                  const platform::Dictionary& parameters);
  // From the wire form; null when the "_o" parameter holds no string or the event does not
  // construct. Nested parameters are not read back.
  static std::shared_ptr<APMEvent> initWithEventProto(const APMPBEvent& proto);
  // From the script engine's event: its public name mapped to the internal one, its origin
  // from "_o" (else "app"), no previous timestamp.
  static std::shared_ptr<APMEvent> eventFromEditEvent(const APMPEvent& editEvent);

  // New events, always of this base class and not public, with the same origin, name and
  // timestamps and respectively the same parameters, a new previous timestamp, or new
  // parameters.
  std::shared_ptr<APMEvent> copy() const;
  std::shared_ptr<APMEvent> copyWithPreviousTimestamp(double previousTimestamp) const;
  std::shared_ptr<APMEvent> copyWithParameters(const platform::Dictionary& parameters) const;

  virtual const char* className() const { return "APMEvent"; }

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  // Seconds since 1970.
  double timestamp() const { return timestamp_; }
  // 0 when the event has not happened before.
  double previousTimestamp() const { return previousTimestamp_; }
  // Names to APMValue objects.
  const platform::Dictionary& parameters() const { return parameters_; }

  // Conversions and ad impressions must carry a numeric "value" with a valid "currency".
  bool shouldValidateParams() const;

  bool isConversion() const;
  // True only when "value" and "currency" pass; false records ConversionEventLimitReached
  // unless an error is recorded already.
  void setConversion(bool conversion);
  bool isRealtime() const;
  void setRealtime(bool realtime);
  bool isDebug() const;
  void setDebug(bool debug);

  // Adds the cleaned default event parameters; the event's own parameters win.
  void applyParameters(const platform::Dictionary& parameters);
  // Adds the current screen's "_sn", "_sc" and "_si"; false, with nothing changed, when the
  // event has screen parameters already or the given ones are not valid.
  bool addScreenParameters(const platform::Dictionary& screenParameters);

  // The event as the script engine sees it: the public name, plain parameter values.
  APMPEvent editEvent() const;
  // The wire form.
  std::shared_ptr<APMPBEvent> protoEvent() const;
  // The bytes of protoEvent()->protoBuffer(), written without building the message; without
  // the name for a stored raw event, whose name has a column of its own. None when they
  // would be too many to write.
  std::optional<platform::Data> protoBytes(bool withName = true) const;

 protected:
  APMEvent() = default;

  template <typename Event>
  static std::shared_ptr<Event>
  make(const std::optional<std::string>& origin, bool isPublic, const std::string& name,
       double timestamp, double previousTimestamp, const platform::Dictionary& parameters) {
    std::shared_ptr<Event> event(new Event);
    if (!event->setUp(origin, isPublic, name, timestamp, previousTimestamp, parameters))
      return nullptr;
    return event;
  }

 private:
  bool setUp(const std::optional<std::string>& origin, bool isPublic, const std::string& name,
             double timestamp, double previousTimestamp, const platform::Dictionary& parameters);
  bool hasInt64One(std::string_view name) const;

  std::string origin_;
  std::string name_;
  double timestamp_ = 0;
  double previousTimestamp_ = 0;
  platform::Dictionary parameters_;
};

// The events the analytics connector creates: no field or operation of its own.
class ZOZAZazez : public APMEvent {
 public:
  static std::shared_ptr<ZOZAZazez> initWithOrigin(const std::optional<std::string>& origin,
                                                   bool isPublic, const std::string& name,
                                                   double timestamp, double previousTimestamp,
                                                   const platform::Dictionary& parameters) {
    return make<ZOZAZazez>(origin, isPublic, name, timestamp, previousTimestamp, parameters);
  }
  const char* className() const override { return "ZOZAZazez"; }

 private:
  friend class APMEvent;
  ZOZAZazez() = default;
};

// Whether the event is the error event "_err"; an empty name is logged and gives false.
bool APMIsErrorEvent(const APMEvent* event);
// Subscription conversions and renewals, and in-app purchases flagged "subscription" = 1.
bool APMIsSubscriptionEvent(const APMEvent* event);
// The elements of all array parameters together; 0 for no event.
std::int32_t APMArrayParameterItemCount(const APMEvent* event);

// Seconds as the wire's signed 64-bit milliseconds: times 1000, truncated toward zero, held
// within the 64-bit range (NaN gives 0).
std::int64_t APMMillisecondsFromSeconds(double seconds);
