// ZIRLibrary: what a library class registered with the core answers as class methods in
// the object runtime: its components, collected by every new app's container, and
// optionally a call once each app is configured.
#pragma once

#include <memory>
#include <vector>

#include "foundation/ZIRComponent.h"

class VEVEza;

// The protocol a library class adopts (platform::Class::addProtocol).
inline constexpr const char* kZIRLibraryProtocolName = "ZIRLibrary";

// Required: the library's components.
inline constexpr const char* kZIRLibraryComponentsToRegisterSelector = "componentsToRegister";
using ZIRLibraryComponentsToRegister = std::vector<std::shared_ptr<ZIRComponent>>();

// Optional: called after each app is configured, inside the core's lock.
inline constexpr const char* kZIRLibraryConfigureWithAppSelector = "configureWithApp:";
using ZIRLibraryConfigureWithApp = void(const std::shared_ptr<VEVEza>& app);
