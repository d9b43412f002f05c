#include "promises/promise.h"

#include <cxxabi.h>

#include <cmath>
#include <cstdlib>
#include <limits>

std::optional<PromiseError> PromiseError::from(const platform::ErrorPtr& error) {
  if (!error || error->domain() != ZBLPromiseErrorDomain) return std::nullopt;
  switch (error->code()) {
  case ZBLPromiseErrorCodeTimedOut:
    return PromiseError(timedOut);
  case ZBLPromiseErrorCodeValidationFailure:
    return PromiseError(validationFailure);
  default:
    return std::nullopt;
  }
}

std::int64_t PromiseError::code() const {
  return case_ == timedOut ? ZBLPromiseErrorCodeTimedOut : ZBLPromiseErrorCodeValidationFailure;
}

platform::ErrorPtr PromiseError::error() const {
  return platform::makeError(ZBLPromiseErrorDomain, code());
}

namespace promise_detail {

namespace {

constexpr double kTwoTo63 = 9223372036854775808.0;
constexpr double kTwoTo64 = 18446744073709551616.0;

bool isWhole(double number) { return std::isfinite(number) && number == std::trunc(number); }

}  // namespace

std::optional<std::int64_t> exactSigned(const platform::Value& value) {
  switch (value.type()) {
  case platform::Value::Type::Bool:
    return *value.asBool() ? 1 : 0;
  case platform::Value::Type::Int:
  case platform::Value::Type::UInt:
    return value.asInt();
  case platform::Value::Type::Double: {
    double number = *value.asDouble();
    if (!isWhole(number) || number < -kTwoTo63 || number >= kTwoTo63) return std::nullopt;
    return static_cast<std::int64_t>(number);
  }
  default:
    return std::nullopt;
  }
}

std::optional<std::uint64_t> exactUnsigned(const platform::Value& value) {
  switch (value.type()) {
  case platform::Value::Type::Bool:
    return *value.asBool() ? 1 : 0;
  case platform::Value::Type::Int:
  case platform::Value::Type::UInt:
    return value.asUInt();
  case platform::Value::Type::Double: {
    double number = *value.asDouble();
    if (!isWhole(number) || number < 0 || number >= kTwoTo64) return std::nullopt;
    return static_cast<std::uint64_t>(number);
  }
  default:
    return std::nullopt;
  }
}

std::optional<bool> exactBool(const platform::Value& value) {
  if (std::optional<bool> flag = value.asBool()) return flag;
  std::optional<std::int64_t> number = exactSigned(value);
  if (number && (*number == 0 || *number == 1)) return *number == 1;
  return std::nullopt;
}

platform::ErrorPtr errorFromCurrentException() {
  try {
    throw;
  } catch (const platform::ErrorPtr& error) {
    if (!error) throw;
    return error;
  } catch (const std::shared_ptr<platform::Error>& error) {
    if (!error) throw;
    return error;
  } catch (const platform::Error& error) {
    return std::make_shared<const platform::Error>(error);
  } catch (PromiseError error) {
    return error.error();
  } catch (PromiseError::Case which) {
    return PromiseError(which).error();
  }
}

void conversionFailure(const std::type_info& type, const ZBLObject& object) {
  throw platform::Exception("NSInternalInconsistencyException",
                            "The promise holds " + object.description() +
                                ", which cannot be read as " + shortTypeName(type));
}

ZBLPromisePtr promiseResolvedFrom(const ZBLObject& result) {
  if (ZBLPromisePtr promise = result.asPromise()) return promise;
  return ZBLPromise::resolvedWith(result);
}

std::string shortTypeName(const std::type_info& type) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : type.name();
  std::free(demangled);
  // Drops the namespaces of the outermost name ("std::__cxx11::basic_string<…>" reads as
  // "basic_string<…>"), keeping those inside template arguments.
  std::size_t end = name.find('<');
  std::size_t qualifier = name.rfind("::", end == std::string::npos ? name.size() : end);
  if (qualifier != std::string::npos) name.erase(0, qualifier + 2);
  return name;
}

}  // namespace promise_detail
