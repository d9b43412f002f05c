// The process environment read and changed under one lock, so that work running on another
// thread never reads a variable while it is being replaced.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace platform {

std::optional<std::string> environmentValue(const std::string& name);
// Every variable at once.
std::map<std::string, std::string> environmentVariables();
// None removes the variable.
void setEnvironmentValue(const std::string& name, const std::optional<std::string>& value);

}  // namespace platform
