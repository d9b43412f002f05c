// Promise<T>: the typed face of ZBLPromise, which converts values and errors to and from the
// objects the untyped promise holds; with PromiseError and Maybe<T>.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "promises/zbl_object.h"
#include "promises/zbl_promise.h"

// The two failures the promise operators make themselves, as typed values. Each stands for
// an error object of domain "com.rerora.ZBLPromises.Error" (code 1 and 2), so the timeout
// and validate failures read back as PromiseError::timedOut and ::validationFailure.
class PromiseError {
 public:
  enum Case : std::uint8_t { timedOut, validationFailure };

  constexpr PromiseError(Case which) : case_(which) {}
  // The promise error an error object stands for: the exact domain with code 1 or 2.
  static std::optional<PromiseError> from(const platform::ErrorPtr& error);

  constexpr Case which() const { return case_; }
  std::int64_t code() const;
  // Domain, code and no user information.
  platform::ErrorPtr error() const;

  friend constexpr bool operator==(PromiseError, PromiseError) = default;

 private:
  Case case_;
};

template <> struct std::hash<PromiseError> {
  std::size_t operator()(PromiseError error) const noexcept {
    return std::hash<int>()(static_cast<int>(error.which()));
  }
};

template <typename T> class Promise;
template <typename T> class Maybe;

// The conversions between typed values and the objects ZBLPromise holds.
namespace promise_detail {

template <typename T> struct IsOptional : std::false_type {};
template <typename T> struct IsOptional<std::optional<T>> : std::true_type {};
template <typename T> struct IsVector : std::false_type {};
template <typename T, typename A> struct IsVector<std::vector<T, A>> : std::true_type {};
template <typename T> struct IsSharedPtr : std::false_type {};
template <typename T> struct IsSharedPtr<std::shared_ptr<T>> : std::true_type {};
template <typename T> struct IsMaybe : std::false_type {};
template <typename T> struct IsMaybe<Maybe<T>> : std::true_type {};
template <typename T> struct IsPromise : std::false_type {};
template <typename T> struct IsPromise<Promise<T>> : std::true_type {};
// The handler of wrap() for a promise of a pair: (first, second, error); void for other types.
template <typename T> struct PairHandler { using type = void; };
template <typename A, typename B> struct PairHandler<std::tuple<A, B>> {
  using type = std::function<void(A, B, platform::ErrorPtr)>;
};

// Callbacks are called as lvalues.
template <typename F, typename... Args>
concept CallableWith = std::invocable<F&, Args...>;
template <typename F, typename... Args>
concept PredicateWith = std::predicate<F&, Args...>;
// Called with no arguments, returns an R.
template <typename F, typename R>
concept Producing =
    std::invocable<F&> && std::same_as<std::remove_cvref_t<std::invoke_result_t<F&>>, R>;

// Types held as a Value (numbers, strings, data, dates, containers).
template <typename T>
concept ValueLike = std::constructible_from<platform::Value, const T&> && !std::is_pointer_v<T> &&
                    !IsSharedPtr<T>::value && !std::is_same_v<T, ZBLObject>;

// Exact readings of numbers: none unless the number is exactly representable.
std::optional<std::int64_t> exactSigned(const platform::Value& value);
std::optional<std::uint64_t> exactUnsigned(const platform::Value& value);
std::optional<bool> exactBool(const platform::Value& value);

// The error a typed callback threw: a platform::ErrorPtr, platform::Error or PromiseError.
// Called inside a catch block; anything else is rethrown, since it is not an error but a
// programmer's mistake.
platform::ErrorPtr errorFromCurrentException();
// Reports an object that does not convert to the promise's type: a broken precondition,
// raised as a platform::Exception.
[[noreturn]] void conversionFailure(const std::type_info& type, const ZBLObject& object);
// A settled promise from what a value-producing callable returned: rejected with an error,
// that very promise for a promise, otherwise fulfilled with it.
ZBLPromisePtr promiseResolvedFrom(const ZBLObject& result);
// The type's name without its namespaces, for descriptions.
std::string shortTypeName(const std::type_info& type);

template <typename T> std::optional<T> fromObject(const ZBLObject& object);

// The object form of a value (bridgeValue): nil for an absent optional or the null
// placeholder; a Value for value-like types; a list for vectors (nil elements as the null
// placeholder); the object itself for shared pointers; any other type boxed.
template <typename T> ZBLObject toObject(const T& value) {
  if constexpr (std::is_same_v<T, ZBLObject>) {
    return value.isNullPlaceholder() ? ZBLObject() : value;
  } else if constexpr (IsOptional<T>::value) {
    return value ? toObject(*value) : ZBLObject();
  } else if constexpr (IsMaybe<T>::value) {
    return value.toObject();
  } else if constexpr (IsSharedPtr<T>::value) {
    return ZBLObject(value);
  } else if constexpr (std::is_same_v<T, platform::Value>) {
    return value.isNull() ? ZBLObject() : ZBLObject(value);
  } else if constexpr (ValueLike<T>) {
    return ZBLObject(platform::Value(value));
  } else if constexpr (IsVector<T>::value) {
    ZBLObjectList list;
    list.reserve(value.size());
    for (const auto& element : value) {
      ZBLObject object = toObject(element);
      list.push_back(object.isNil() ? ZBLObject::null() : std::move(object));
    }
    return ZBLObject(std::move(list));
  } else {
    return ZBLObject(std::make_shared<const T>(value));
  }
}

// Reads a value of a value-like type.
template <typename T> std::optional<T> fromValue(const platform::Value& value) {
  if constexpr (std::is_same_v<T, bool>) {
    return exactBool(value);
  } else if constexpr (std::is_integral_v<T>) {
    if constexpr (std::is_signed_v<T>) {
      std::optional<std::int64_t> number = exactSigned(value);
      if (number && std::in_range<T>(*number)) return static_cast<T>(*number);
    } else {
      std::optional<std::uint64_t> number = exactUnsigned(value);
      if (number && std::in_range<T>(*number)) return static_cast<T>(*number);
    }
    return std::nullopt;
  } else if constexpr (std::is_floating_point_v<T>) {
    if (!value.isNumber()) return std::nullopt;
    return static_cast<T>(*value.asDouble());
  } else if constexpr (std::is_same_v<T, std::string>) {
    const std::string* text = value.asString();
    return text ? std::optional<T>(*text) : std::nullopt;
  } else if constexpr (std::is_same_v<T, platform::Data>) {
    const platform::Data* data = value.asData();
    return data ? std::optional<T>(*data) : std::nullopt;
  } else if constexpr (std::is_same_v<T, platform::Date>) {
    return value.asDate();
  } else if constexpr (std::is_same_v<T, platform::Dictionary>) {
    const platform::Dictionary* dictionary = value.asDictionary();
    return dictionary ? std::optional<T>(*dictionary) : std::nullopt;
  } else {
    static_assert(!sizeof(T), "a promise value of this type cannot be read back");
  }
}

// The first step of bridgeResolution: the object as a T, or none.
template <typename T> std::optional<T> fromObject(const ZBLObject& object) {
  if constexpr (std::is_same_v<T, ZBLObject>) {
    return object;
  } else if constexpr (IsOptional<T>::value) {
    if (object.isNil() || object.isNullPlaceholder()) return T();
    if (auto value = fromObject<typename T::value_type>(object)) return T(std::move(*value));
    return std::nullopt;
  } else if constexpr (IsMaybe<T>::value) {
    return T::fromObject(object);
  } else if constexpr (IsSharedPtr<T>::value) {
    using Element = typename T::element_type;
    if (object.isNil()) return T();
    T pointer;
    if constexpr (std::is_same_v<Element, const platform::Error>) {
      pointer = object.asError();
    } else if constexpr (std::is_same_v<Element, ZBLPromise>) {
      pointer = object.asPromise();
    } else {
      pointer = object.as<Element>();
    }
    return pointer ? std::optional<T>(std::move(pointer)) : std::nullopt;
  } else if constexpr (std::is_same_v<T, platform::Value>) {
    const platform::Value* value = object.asValue();
    return value ? std::optional<T>(*value) : std::nullopt;
  } else if constexpr (IsVector<T>::value) {
    using Element = typename T::value_type;
    T elements;
    if (const ZBLObjectList* list = object.asList()) {
      elements.reserve(list->size());
      for (const ZBLObject& item : *list) {
        std::optional<Element> element = fromObject<Element>(item);
        if (!element) element = fromObject<Element>(ZBLObject::null());
        if (!element) return std::nullopt;
        elements.push_back(std::move(*element));
      }
      return elements;
    }
    const platform::Value* value = object.asValue();
    const platform::Array* array = value ? value->asArray() : nullptr;
    if (!array) return std::nullopt;
    if constexpr (std::is_same_v<Element, platform::Value>) {
      return T(array->begin(), array->end());
    } else {
      elements.reserve(array->size());
      for (const platform::Value& item : *array) {
        std::optional<Element> element = fromObject<Element>(ZBLObject(item));
        if (!element) return std::nullopt;
        elements.push_back(std::move(*element));
      }
      return elements;
    }
  } else if constexpr (ValueLike<T>) {
    const platform::Value* value = object.asValue();
    return value ? fromValue<T>(*value) : std::nullopt;
  } else {
    std::shared_ptr<T> boxed = object.as<T>();
    return boxed ? std::optional<T>(*boxed) : std::nullopt;
  }
}

// bridgeResolution: the object as a T, else the null placeholder as a T, else none.
template <typename T> std::optional<T> bridgeResolution(const ZBLObject& object) {
  if (std::optional<T> value = fromObject<T>(object)) return value;
  return fromObject<T>(ZBLObject::null());
}

// A value handed to a typed callback: converting is the caller's precondition.
template <typename T> T requireResolution(const ZBLObject& object) {
  if (std::optional<T> value = bridgeResolution<T>(object)) return std::move(*value);
  conversionFailure(typeid(T), object);
}

// Calls a typed callback that may throw an error, turning the error into its object so the
// untyped operator rejects with it.
template <typename F> ZBLObject invokeCatching(F&& callback) {
  try {
    return callback();
  } catch (...) {
    return ZBLObject(errorFromCurrentException());
  }
}

template <typename... Ts, std::size_t... I>
std::tuple<Ts...> tupleFromList(const ZBLObjectList& list, std::index_sequence<I...>) {
  return std::tuple<Ts...>(requireResolution<Ts>(list[I])...);
}

}  // namespace promise_detail

// The value-or-error result of `any`: case value or case error.
template <typename T> class Maybe {
 public:
  Maybe(T value) : storage_(std::in_place_index<0>, std::move(value)) {}
  Maybe(platform::ErrorPtr error) : storage_(std::in_place_index<1>, std::move(error)) {}

  std::optional<T> value() const {
    return storage_.index() == 0 ? std::optional<T>(std::get<0>(storage_)) : std::nullopt;
  }
  platform::ErrorPtr error() const {
    return storage_.index() == 1 ? std::get<1>(storage_) : nullptr;
  }

  // Values by T's equality, errors as error objects (domain, code, user information).
  friend bool operator==(const Maybe& a, const Maybe& b) requires std::equality_comparable<T> {
    if (a.storage_.index() != b.storage_.index()) return false;
    if (a.storage_.index() == 0) return std::get<0>(a.storage_) == std::get<0>(b.storage_);
    return ZBLErrorsEqual(std::get<1>(a.storage_), std::get<1>(b.storage_));
  }

  // The error object for case error, the value's object form for case value.
  ZBLObject toObject() const {
    if (storage_.index() == 1) return ZBLObject(std::get<1>(storage_));
    return promise_detail::toObject(std::get<0>(storage_));
  }
  // An error object gives case error; anything else is read as a T for case value.
  static std::optional<Maybe> fromObject(const ZBLObject& object) {
    if (platform::ErrorPtr error = object.asError()) return Maybe(std::move(error));
    std::optional<T> value = promise_detail::bridgeResolution<T>(object);
    return value ? std::optional<Maybe>(Maybe(std::move(*value))) : std::nullopt;
  }

 private:
  std::variant<T, platform::ErrorPtr> storage_;
};

// A typed promise: a handle on one ZBLPromise, which does all the work (state, settlement,
// observers, queues, the dispatch group). Copies share that promise and so always agree.
// Values enter as their object form and are read back as T; errors are platform::ErrorPtr,
// and the timeout and validate failures read back through PromiseError::from.
//
// Typed callbacks get the value as `const T&` and may throw an error (a platform::ErrorPtr,
// platform::Error or PromiseError), which rejects the operator's result. Every operator has a
// form without a queue, which uses defaultDispatchQueue() as read at the call.
//
// A result stays alive, even when the caller drops it, as long as the untyped promise it
// depends on is pending: that promise's observer holds the result's untyped promise, and a
// typed promise holds nothing else. So observers registered on a dropped result still run.
template <typename T> class Promise {
  static_assert(!std::is_reference_v<T> && !std::is_const_v<T> && !std::is_void_v<T>,
                "a promise holds a plain value type");

 public:
  using ValueType = T;
  // The callables of the async constructor.
  using Fulfill = std::function<void(T value)>;
  using Reject = std::function<void(platform::ErrorPtr error)>;
  using RetryCondition = ZBLPromise::RetryCondition;
  // Handlers of wrap(), by shape.
  using Completion = std::function<void()>;
  using ValueCompletion = std::function<void(T value)>;
  using ValueOrErrorCompletion = std::function<void(T value, platform::ErrorPtr error)>;
  using ErrorOrValueCompletion = std::function<void(platform::ErrorPtr error, T value)>;

  // Wraps exactly this untyped promise.
  explicit Promise(ZBLPromisePtr promise) : objCPromise_(std::move(promise)) {}
  static Promise pending() { return Promise(ZBLPromise::pendingPromise()); }
  // Rejected with the error.
  explicit Promise(platform::ErrorPtr error)
      : Promise(ZBLPromise::resolvedWith(ZBLObject(std::move(error)))) {}
  explicit Promise(PromiseError error) : Promise(error.error()) {}
  // Calls the work at once: rejected when it throws or returns an error, the very untyped
  // promise when it returns one, otherwise fulfilled with what it returns.
  template <promise_detail::CallableWith F>
  explicit Promise(F&& work)
      : Promise(promise_detail::promiseResolvedFrom(
            promise_detail::invokeCatching([&] { return promise_detail::toObject(work()); }))) {}
  // async: work(fulfill, reject) runs later on the queue.
  template <promise_detail::CallableWith<Fulfill, Reject> F>
  Promise(platform::QueuePtr queue, F work)
      : Promise(ZBLPromise::async(
            std::move(queue), [work = std::move(work)](const ZBLPromise::Fulfill& fulfill,
                                                       const ZBLPromise::Reject& reject) mutable {
              try {
                work(Fulfill([fulfill](T value) { fulfill(promise_detail::toObject(value)); }),
                     Reject(reject));
              } catch (...) {
                reject(promise_detail::errorFromCurrentException());
              }
            })) {}
  template <promise_detail::CallableWith<Fulfill, Reject> F>
  explicit Promise(F work) : Promise(defaultDispatchQueue(), std::move(work)) {}
  // do: work() runs later on the queue and returns a T or a Promise<T>.
  template <promise_detail::CallableWith F>
  Promise(platform::QueuePtr queue, F work)
      : Promise(ZBLPromise::do_(std::move(queue), [work = std::move(work)]() mutable {
          return promise_detail::invokeCatching([&] { return resultObject(work()); });
        })) {}

  static platform::QueuePtr defaultDispatchQueue() { return ZBLPromise::defaultDispatchQueue(); }
  static void setDefaultDispatchQueue(platform::QueuePtr queue) {
    ZBLPromise::setDefaultDispatchQueue(std::move(queue));
  }

  const ZBLPromisePtr& objCPromise() const { return objCPromise_; }

  void fulfill(const T& value) const { objCPromise_->fulfill(promise_detail::toObject(value)); }
  void reject(platform::ErrorPtr error) const { objCPromise_->reject(std::move(error)); }
  void reject(PromiseError error) const { reject(error.error()); }

  bool isPending() const { return objCPromise_->isPending(); }
  bool isFulfilled() const { return objCPromise_->isFulfilled(); }
  bool isRejected() const { return objCPromise_->isRejected(); }
  // None unless fulfilled with something other than nil.
  std::optional<T> value() const {
    ZBLObject object = objCPromise_->value();
    if (object.isNil()) return std::nullopt;
    if (std::optional<T> value = promise_detail::fromObject<T>(object)) return value;
    promise_detail::conversionFailure(typeid(T), object);
  }
  platform::ErrorPtr error() const { return objCPromise_->error(); }
  // "Fulfilled: <value>" ("nil" for none), "Rejected: <error>" or "Pending: <type>".
  std::string description() const {
    if (isFulfilled()) {
      std::optional<T> fulfilled = value();
      return "Fulfilled: " +
             (fulfilled ? promise_detail::toObject(*fulfilled).description() : std::string("nil"));
    }
    if (isRejected()) return "Rejected: " + error()->description();
    return "Pending: " + promise_detail::shortTypeName(typeid(T));
  }

  // then: work(value) returns a Promise<R> (adopted), a value R, or nothing (the result keeps
  // the receiver's value).
  template <promise_detail::CallableWith<const T&> F>
  auto then(platform::QueuePtr queue, F work) const {
    using R = std::remove_cvref_t<std::invoke_result_t<F&, const T&>>;
    using Result =
        std::conditional_t<std::is_void_v<R> || promise_detail::IsPromise<R>::value,
                           std::conditional_t<std::is_void_v<R>, Promise, R>, Promise<R>>;
    auto callback = [work = std::move(work)](const ZBLObject& object) mutable {
      return promise_detail::invokeCatching([&] {
        T value = promise_detail::requireResolution<T>(object);
        if constexpr (std::is_void_v<R>) {
          work(std::as_const(value));
          return promise_detail::toObject(value);
        } else {
          return resultObject(work(std::as_const(value)));
        }
      });
    };
    return Result(objCPromise_->then(std::move(queue), std::move(callback)));
  }
  template <promise_detail::CallableWith<const T&> F> auto then(F work) const {
    return then(defaultDispatchQueue(), std::move(work));
  }

  // catch_: the callback sees the error; the result keeps the outcome.
  template <promise_detail::CallableWith<const platform::ErrorPtr&> F>
  Promise catch_(platform::QueuePtr queue, F reject) const {
    return Promise(objCPromise_->catch_(std::move(queue), ZBLPromise::OnReject(std::move(reject))));
  }
  template <promise_detail::CallableWith<const platform::ErrorPtr&> F>
  Promise catch_(F reject) const {
    return catch_(defaultDispatchQueue(), std::move(reject));
  }

  template <promise_detail::CallableWith F> Promise always(platform::QueuePtr queue, F work) const {
    return Promise(objCPromise_->always(std::move(queue), std::function<void()>(std::move(work))));
  }
  template <promise_detail::CallableWith F> Promise always(F work) const {
    return always(defaultDispatchQueue(), std::move(work));
  }

  // recover: recovery(error) returns a Promise<T> (adopted) or a T.
  template <promise_detail::CallableWith<const platform::ErrorPtr&> F>
  Promise recover(platform::QueuePtr queue, F recovery) const {
    using R = std::remove_cvref_t<std::invoke_result_t<F&, const platform::ErrorPtr&>>;
    return Promise(objCPromise_->recover(
        std::move(queue),
        [recovery = std::move(recovery)](const platform::ErrorPtr& error) mutable {
          return promise_detail::invokeCatching([&] {
            if constexpr (promise_detail::IsPromise<R>::value) {
              static_assert(std::is_same_v<R, Promise>, "recovery returns a promise of T");
              return ZBLObject(recovery(error).objCPromise());
            } else {
              return promise_detail::toObject<T>(recovery(error));
            }
          });
        }));
  }
  template <promise_detail::CallableWith<const platform::ErrorPtr&> F>
  Promise recover(F recovery) const {
    return recover(defaultDispatchQueue(), std::move(recovery));
  }

  template <promise_detail::PredicateWith<const T&> F>
  Promise validate(platform::QueuePtr queue, F predicate) const {
    return Promise(objCPromise_->validate(
        std::move(queue), [predicate = std::move(predicate)](const ZBLObject& object) mutable {
          return static_cast<bool>(predicate(promise_detail::requireResolution<T>(object)));
        }));
  }
  template <promise_detail::PredicateWith<const T&> F> Promise validate(F predicate) const {
    return validate(defaultDispatchQueue(), std::move(predicate));
  }

  // reduce: one then-step per item, combine(partial, item) returning a Promise<T>; no items
  // gives this promise itself.
  template <typename Items, typename F>
  Promise reduce(platform::QueuePtr queue, const Items& items, F combine) const {
    Promise current = *this;
    for (const auto& item : items) {
      current = current.then(queue, [combine, item](const T& partial) mutable -> Promise {
        return combine(partial, item);
      });
    }
    return current;
  }
  template <typename Items, typename F> Promise reduce(const Items& items, F combine) const {
    return reduce(defaultDispatchQueue(), items, std::move(combine));
  }

  Promise delay(platform::QueuePtr queue, double seconds) const {
    return Promise(objCPromise_->delay(std::move(queue), seconds));
  }
  Promise delay(double seconds) const { return delay(defaultDispatchQueue(), seconds); }
  Promise timeout(platform::QueuePtr queue, double seconds) const {
    return Promise(objCPromise_->timeout(std::move(queue), seconds));
  }
  Promise timeout(double seconds) const { return timeout(defaultDispatchQueue(), seconds); }

  // all: the values in input order, or the first rejection.
  static Promise<std::vector<T>> all(platform::QueuePtr queue,
                                     const std::vector<Promise>& promises) {
    return Promise<std::vector<T>>(ZBLPromise::all(std::move(queue), objectsOf(promises)));
  }
  static Promise<std::vector<T>> all(const std::vector<Promise>& promises) {
    return all(defaultDispatchQueue(), promises);
  }

  // any: once none is pending, each outcome in input order, if at least one was fulfilled.
  static Promise<std::vector<Maybe<T>>> any(platform::QueuePtr queue,
                                            const std::vector<Promise>& promises) {
    ZBLPromisePtr combined = ZBLPromise::any(queue, objectsOf(promises));
    return Promise<std::vector<Maybe<T>>>(
        combined->then(std::move(queue), [](const ZBLObject& outcomes) {
          return promise_detail::toObject(
              promise_detail::requireResolution<std::vector<Maybe<T>>>(outcomes));
        }));
  }
  static Promise<std::vector<Maybe<T>>> any(const std::vector<Promise>& promises) {
    return any(defaultDispatchQueue(), promises);
  }

  // race: the first outcome delivered.
  static Promise race(platform::QueuePtr queue, const std::vector<Promise>& promises) {
    return Promise(ZBLPromise::race(std::move(queue), objectsOf(promises)));
  }
  static Promise race(const std::vector<Promise>& promises) {
    return race(defaultDispatchQueue(), promises);
  }

  // retry: work() returns a Promise<T>; see ZBLPromise::retry (the condition gets the error
  // object as it is).
  template <promise_detail::Producing<Promise> F>
  static Promise retry(platform::QueuePtr queue, std::int64_t attempts, double delaySeconds,
                       RetryCondition condition, F work) {
    return Promise(ZBLPromise::retry(std::move(queue), attempts, delaySeconds, std::move(condition),
                                     [work = std::move(work)]() mutable {
                                       return promise_detail::invokeCatching(
                                           [&] { return ZBLObject(work().objCPromise()); });
                                     }));
  }
  template <promise_detail::Producing<Promise> F>
  static Promise retry(platform::QueuePtr queue, F work) {
    return retry(std::move(queue), 1, 1.0, nullptr, std::move(work));
  }
  template <promise_detail::Producing<Promise> F> static Promise retry(F work) {
    return retry(defaultDispatchQueue(), std::move(work));
  }

  // Blocks until the promise settles: its value, or the error (a platform::ErrorPtr) thrown.
  static T await(const Promise& promise) {
    platform::ErrorPtr error;
    ZBLObject value = ZBLPromiseAwait(promise.objCPromise(), &error);
    if (error) throw error;
    return promise_detail::requireResolution<T>(value);
  }

  // wrap: work(handler) reports through a handler of one of these shapes; an error that is
  // not null rejects, otherwise the value fulfils. The work names its handler's type.
  // () fulfils with nil, for a promise of an optional value.
  template <promise_detail::CallableWith<Completion> F>
  static Promise wrap(platform::QueuePtr queue, F work) {
    static_assert(promise_detail::IsOptional<T>::value || std::is_same_v<T, ZBLObject>,
                  "a handler without a value fulfils a promise of an optional value");
    return Promise(std::move(queue), [work = std::move(work)](Fulfill fulfill, Reject) mutable {
      work(Completion([fulfill] { fulfill(T()); }));
    });
  }
  template <promise_detail::CallableWith<ValueCompletion> F>
  static Promise wrap(platform::QueuePtr queue, F work) {
    return Promise(std::move(queue), [work = std::move(work)](Fulfill fulfill, Reject) mutable {
      work(ValueCompletion(fulfill));
    });
  }
  template <promise_detail::CallableWith<ValueOrErrorCompletion> F>
  static Promise wrap(platform::QueuePtr queue, F work) {
    return Promise(
        std::move(queue), [work = std::move(work)](Fulfill fulfill, Reject reject) mutable {
          work(ValueOrErrorCompletion([fulfill, reject](T value, platform::ErrorPtr error) {
            if (error) {
              reject(std::move(error));
            } else {
              fulfill(std::move(value));
            }
          }));
        });
  }
  template <promise_detail::CallableWith<ErrorOrValueCompletion> F>
  static Promise wrap(platform::QueuePtr queue, F work) {
    return Promise(
        std::move(queue), [work = std::move(work)](Fulfill fulfill, Reject reject) mutable {
          work(ErrorOrValueCompletion([fulfill, reject](platform::ErrorPtr error, T value) {
            if (error) {
              reject(std::move(error));
            } else {
              fulfill(std::move(value));
            }
          }));
        });
  }
  // (first, second, error) for a promise of the pair std::tuple<A, B>.
  template <promise_detail::CallableWith<typename promise_detail::PairHandler<T>::type> F>
  static Promise wrap(platform::QueuePtr queue, F work) {
    using First = std::tuple_element_t<0, T>;
    using Second = std::tuple_element_t<1, T>;
    using Handler = typename promise_detail::PairHandler<T>::type;
    return Promise(
        std::move(queue), [work = std::move(work)](Fulfill fulfill, Reject reject) mutable {
          work(Handler([fulfill, reject](First first, Second second, platform::ErrorPtr error) {
            if (error) {
              reject(std::move(error));
            } else {
              fulfill(T(std::move(first), std::move(second)));
            }
          }));
        });
  }
  template <typename F> static auto wrap(F work) -> decltype(wrap(defaultDispatchQueue(), work)) {
    return wrap(defaultDispatchQueue(), std::move(work));
  }

 private:
  template <typename Promises> static ZBLObjectList objectsOf(const Promises& promises) {
    ZBLObjectList objects;
    for (const Promise& promise : promises) objects.push_back(ZBLObject(promise.objCPromise()));
    return objects;
  }

  // What a typed callback's result becomes for the untyped operator: a promise is adopted,
  // a value goes as its object form.
  template <typename R> static ZBLObject resultObject(const R& result) {
    if constexpr (promise_detail::IsPromise<R>::value) {
      return ZBLObject(result.objCPromise());
    } else {
      return promise_detail::toObject(result);
    }
  }

  ZBLPromisePtr objCPromise_;
};

// all over two to four promises of different types: the tuple of their values, in input
// order, or the first rejection.
template <typename... Ts>
Promise<std::tuple<Ts...>> all(platform::QueuePtr queue, const Promise<Ts>&... promises) {
  static_assert(sizeof...(Ts) >= 2 && sizeof...(Ts) <= 4, "all combines two to four promises");
  ZBLPromisePtr combined =
      ZBLPromise::all(queue, ZBLObjectList{ZBLObject(promises.objCPromise())...});
  return Promise<std::tuple<Ts...>>(combined->then(std::move(queue), [](const ZBLObject& values) {
    return promise_detail::toObject(
        promise_detail::tupleFromList<Ts...>(*values.asList(), std::index_sequence_for<Ts...>()));
  }));
}
template <typename... Ts> Promise<std::tuple<Ts...>> all(const Promise<Ts>&... promises) {
  return all(ZBLPromise::defaultDispatchQueue(), promises...);
}

// any over two or three promises of different types: each outcome, in input order, once none
// is pending and at least one was fulfilled.
template <typename... Ts>
Promise<std::tuple<Maybe<Ts>...>> any(platform::QueuePtr queue, const Promise<Ts>&... promises) {
  static_assert(sizeof...(Ts) >= 2 && sizeof...(Ts) <= 3, "any combines two or three promises");
  ZBLPromisePtr combined =
      ZBLPromise::any(queue, ZBLObjectList{ZBLObject(promises.objCPromise())...});
  return Promise<std::tuple<Maybe<Ts>...>>(
      combined->then(std::move(queue), [](const ZBLObject& outcomes) {
        return promise_detail::toObject(promise_detail::tupleFromList<Maybe<Ts>...>(
            *outcomes.asList(), std::index_sequence_for<Ts...>()));
      }));
}
template <typename... Ts> Promise<std::tuple<Maybe<Ts>...>> any(const Promise<Ts>&... promises) {
  return any(ZBLPromise::defaultDispatchQueue(), promises...);
}
