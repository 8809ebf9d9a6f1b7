#include "packages/rc_core/BaseClass.h"

#include <cxxabi.h>

#include <cstdlib>
#include <typeinfo>

namespace rc_core {
namespace {

std::string Demangle(const char* name) {
  int status = 0;
  char* out = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string result = status == 0 && out != nullptr ? out : name;
  std::free(out);
  // Only the class name itself, without namespaces.
  auto colon = result.rfind("::");
  return colon == std::string::npos ? result : result.substr(colon + 2);
}

}  // namespace

void BaseClass::init() {
  disposed_.store(false, std::memory_order_relaxed);
}

void BaseClass::Dispose(const void*) {
  disposed_.store(true, std::memory_order_relaxed);
}

std::string BaseClass::selfName() const {
  return Demangle(typeid(*this).name());
}

std::vector<std::string> BaseClass::mirrors() const {
  std::vector<std::string> names{selfName()};
  if (names.front() != "BaseNSObject" && dynamic_cast<const BaseNSObject*>(this) != nullptr) {
    names.push_back("BaseNSObject");
  }
  if (names.back() != "BaseClass") names.push_back("BaseClass");
  return names;
}

}  // namespace rc_core
