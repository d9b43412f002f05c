// ZBLObject: the object reference a promise holds and hands to its callbacks (nil, a Value,
// an error, a promise, a list of objects, or any other object), cheap to copy.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/value.h"

class ZBLPromise;
class ZBLObject;

using ZBLObjectList = std::vector<ZBLObject>;

namespace zbl_detail {

// What ZBLObject holds as a Value: anything a Value is built from, except a Value itself,
// nullptr (which is nil) and raw pointers other than C strings.
template <typename T>
concept NonStringPointer =
    std::is_pointer_v<std::decay_t<T>> && !std::is_convertible_v<T, const char*>;
template <typename T>
concept ValueSource = std::constructible_from<platform::Value, T> && !NonStringPointer<T> &&
                      !std::same_as<std::remove_cvref_t<T>, platform::Value> &&
                      !std::same_as<std::remove_cvref_t<T>, std::nullptr_t>;

}  // namespace zbl_detail

// What it holds, made from and read back with:
//   nil: ZBLObject(), ZBLObject(nullptr) or a null shared_ptr; isNil().
//   a Value: ZBLObject(platform::Value) or anything a Value is built from (42, true, "text",
//     a Dictionary...); asValue().
//   the null placeholder: ZBLObject::null(), a null Value; an object, so not nil, it stands
//     for a missing element in a list; isNullPlaceholder().
//   an error: ZBLObject(platform::ErrorPtr); asError().
//   a promise: ZBLObject(std::shared_ptr<ZBLPromise>); asPromise().
//   a list of objects: ZBLObject(ZBLObjectList); asList().
//   any other object: ZBLObject(std::shared_ptr<T>); as<T>().
// Every kind is held by a shared pointer, so a copy never copies the thing itself; a held
// Value or list is immutable. Other objects are read back by their exact type T (the type
// of the shared_ptr they were stored with, cv-qualifiers aside), not by a base class.
class ZBLObject {
 public:
  ZBLObject() = default;
  ZBLObject(std::nullptr_t) {}
  ZBLObject(platform::Value value);
  // A Value built from its argument (numbers, strings, data, containers). Raw pointers other
  // than C strings are refused: they would otherwise turn into a Boolean.
  template <zbl_detail::ValueSource T>
  ZBLObject(T&& value) : ZBLObject(platform::Value(std::forward<T>(value))) {}
  template <zbl_detail::NonStringPointer T> ZBLObject(T pointer) = delete;
  ZBLObject(ZBLObjectList list);
  // An error (kind-of-class: any type derived from platform::Error), a promise, a Value or a
  // list when the pointer is to one of those, otherwise an object of type T; nil when null.
  template <typename T> ZBLObject(std::shared_ptr<T> object);

  // The null placeholder (a null Value).
  static ZBLObject null();

  bool isNil() const { return kind_ == Kind::Nil; }
  bool isValue() const { return kind_ == Kind::Value; }
  bool isNullPlaceholder() const;
  bool isError() const { return kind_ == Kind::Error; }
  bool isPromise() const { return kind_ == Kind::Promise; }
  bool isList() const { return kind_ == Kind::List; }
  // Another object of exactly type T.
  template <typename T> bool is() const {
    return kind_ == Kind::Object && type_->info == typeid(T);
  }

  // Each is null unless the object is of that kind; the pointers live as long as this object.
  const platform::Value* asValue() const;
  platform::ErrorPtr asError() const;
  std::shared_ptr<ZBLPromise> asPromise() const;
  const ZBLObjectList* asList() const;
  template <typename T> std::shared_ptr<T> as() const {
    return is<T>() ? std::static_pointer_cast<T>(pointer_) : nullptr;
  }

  // "(null)" for nil; a Value, error or promise as its own description; a list as its
  // elements in parentheses; another object by its description() member when it has one,
  // otherwise as "<type: address>".
  std::string description() const;

  // The platform's isEqual:: Values by value, errors by domain, code, user info and the
  // error underneath, lists element by element, promises and other objects by identity.
  friend bool operator==(const ZBLObject& a, const ZBLObject& b);
  friend std::ostream& operator<<(std::ostream& out, const ZBLObject& object);

 private:
  enum class Kind : std::uint8_t { Nil, Value, Error, Promise, List, Object };
  struct ObjectType {
    const std::type_info& info;
    std::string (*describe)(const void* object);
  };
  template <typename T> static std::string describeObject(const void* object);
  template <typename T> static inline const ObjectType kObjectType{typeid(T), &describeObject<T>};

  ZBLObject(Kind kind, std::shared_ptr<void> pointer, const ObjectType* type = nullptr)
      : pointer_(std::move(pointer)), type_(type), kind_(kind) {}
  template <typename U> static std::shared_ptr<void> erase(std::shared_ptr<U> pointer) {
    return std::const_pointer_cast<void>(std::static_pointer_cast<const void>(std::move(pointer)));
  }

  std::shared_ptr<void> pointer_;
  const ObjectType* type_ = nullptr;  // for Kind::Object
  Kind kind_ = Kind::Nil;
};

// The error objects' equality (isEqual:): domain, code, user info and the error underneath;
// two nulls are equal.
bool ZBLErrorsEqual(const platform::ErrorPtr& a, const platform::ErrorPtr& b);

// "<type: 0x…>", with the type's readable name.
std::string ZBLDescribeObjectOfType(const std::type_info& type, const void* object);

template <typename T> ZBLObject::ZBLObject(std::shared_ptr<T> object) {
  if (!object) return;
  using U = std::remove_cv_t<T>;
  if constexpr (std::is_base_of_v<platform::Error, U>) {
    *this = ZBLObject(Kind::Error, erase(std::static_pointer_cast<const platform::Error>(object)));
  } else if constexpr (std::is_same_v<U, ZBLPromise>) {
    *this = ZBLObject(Kind::Promise, erase(std::move(object)));
  } else if constexpr (std::is_same_v<U, platform::Value>) {
    *this = ZBLObject(Kind::Value, erase(std::move(object)));
  } else if constexpr (std::is_same_v<U, ZBLObjectList>) {
    *this = ZBLObject(Kind::List, erase(std::move(object)));
  } else {
    *this = ZBLObject(Kind::Object, erase(std::move(object)), &kObjectType<U>);
  }
}

template <typename T> std::string ZBLObject::describeObject(const void* object) {
  if constexpr (requires(const T& t) {
                  { t.description() } -> std::convertible_to<std::string>;
                }) {
    return static_cast<const T*>(object)->description();
  } else {
    return ZBLDescribeObjectOfType(typeid(T), object);
  }
}
