#include "promises/zbl_object.h"

#include <cxxabi.h>

#include <cstdlib>
#include <ostream>

#include "platform/format.h"
#include "promises/zbl_promise.h"

ZBLObject::ZBLObject(platform::Value value)
    : ZBLObject(Kind::Value, erase(std::make_shared<const platform::Value>(std::move(value)))) {}

ZBLObject::ZBLObject(ZBLObjectList list)
    : ZBLObject(Kind::List, erase(std::make_shared<const ZBLObjectList>(std::move(list)))) {}

ZBLObject ZBLObject::null() {
  // One shared placeholder: lists of results use it for every missing element.
  static const ZBLObject* const placeholder = new ZBLObject(platform::Value());
  return *placeholder;
}

bool ZBLObject::isNullPlaceholder() const { return isValue() && asValue()->isNull(); }

const platform::Value* ZBLObject::asValue() const {
  return isValue() ? static_cast<const platform::Value*>(pointer_.get()) : nullptr;
}

platform::ErrorPtr ZBLObject::asError() const {
  return isError() ? std::static_pointer_cast<const platform::Error>(pointer_) : nullptr;
}

std::shared_ptr<ZBLPromise> ZBLObject::asPromise() const {
  return isPromise() ? std::static_pointer_cast<ZBLPromise>(pointer_) : nullptr;
}

const ZBLObjectList* ZBLObject::asList() const {
  return isList() ? static_cast<const ZBLObjectList*>(pointer_.get()) : nullptr;
}

std::string ZBLObject::description() const {
  switch (kind_) {
  case Kind::Nil:
    return "(null)";
  case Kind::Value:
    return asValue()->description();
  case Kind::Error:
    return asError()->description();
  case Kind::Promise:
    return asPromise()->description();
  case Kind::List: {
    const ZBLObjectList& list = *asList();
    std::string out = "(";
    for (std::size_t i = 0; i < list.size(); ++i) {
      out += i == 0 ? "\n    " : ",\n    ";
      out += list[i].description();
    }
    out += list.empty() ? ")" : "\n)";
    return out;
  }
  case Kind::Object:
    return type_->describe(pointer_.get());
  }
  return {};
}

bool operator==(const ZBLObject& a, const ZBLObject& b) {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
  case ZBLObject::Kind::Nil:
    return true;
  case ZBLObject::Kind::Value:
    return *a.asValue() == *b.asValue();
  case ZBLObject::Kind::Error:
    return ZBLErrorsEqual(a.asError(), b.asError());
  case ZBLObject::Kind::List:
    return *a.asList() == *b.asList();
  case ZBLObject::Kind::Promise:
  case ZBLObject::Kind::Object:
    return a.pointer_ == b.pointer_;
  }
  return false;
}

std::ostream& operator<<(std::ostream& out, const ZBLObject& object) {
  return out << object.description();
}

bool ZBLErrorsEqual(const platform::ErrorPtr& a, const platform::ErrorPtr& b) {
  if (a == b) return true;
  if (!a || !b) return false;
  return a->domain() == b->domain() && a->code() == b->code() && a->userInfo() == b->userInfo() &&
         ZBLErrorsEqual(a->underlyingError(), b->underlyingError());
}

std::string ZBLDescribeObjectOfType(const std::type_info& type, const void* object) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : type.name();
  std::free(demangled);
  return platform::format("<%@: %p>", {name, object});
}
