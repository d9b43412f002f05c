#include "platform/process_info.h"

#include "platform/environment.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/run_loop.h"
#include "platform/uuid.h"

extern char** environ;

namespace platform {
namespace {

struct Arguments {
  std::mutex mutex;
  std::optional<std::vector<std::string>> values;
};

Arguments& capturedArguments() {
  static Arguments* const arguments = new Arguments;
  return *arguments;
}

std::vector<std::string> readCommandLine() {
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  std::string contents((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<std::string> arguments;
  std::size_t start = 0;
  while (start < contents.size()) {
    std::size_t end = contents.find('\0', start);
    if (end == std::string::npos) {
      end = contents.size();
    }
    arguments.push_back(contents.substr(start, end - start));
    start = end + 1;
  }
  return arguments;
}

utsname systemName() {
  utsname name{};
  ::uname(&name);
  return name;
}

// Reads the digits at the front of the text and steps past them.
std::int64_t readNumber(std::string_view& text) {
  std::int64_t value = 0;
  std::size_t i = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    if (value > (INT64_MAX - 9) / 10) {
      break;
    }
    value = value * 10 + (text[i] - '0');
  }
  text.remove_prefix(i);
  return value;
}

}  // namespace

ProcessInfo& ProcessInfo::processInfo() {
  static ProcessInfo info;
  return info;
}

void ProcessInfo::captureArguments(int argc, const char* const* argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) {
    arguments.emplace_back(argv[i] ? argv[i] : "");
  }
  setArgumentsForTesting(std::move(arguments));
}

void ProcessInfo::setArgumentsForTesting(std::vector<std::string> arguments) {
  Arguments& captured = capturedArguments();
  std::lock_guard lock(captured.mutex);
  captured.values = std::move(arguments);
}

std::vector<std::string> ProcessInfo::arguments() const {
  Arguments& captured = capturedArguments();
  std::lock_guard lock(captured.mutex);
  if (!captured.values) {
    captured.values = readCommandLine();
  }
  return *captured.values;
}

std::map<std::string, std::string> ProcessInfo::environment() const {
  return environmentVariables();
}

std::optional<std::string> ProcessInfo::environmentValue(const std::string& name) const {
  return platform::environmentValue(name);
}

int ProcessInfo::processIdentifier() const { return static_cast<int>(::getpid()); }

std::string ProcessInfo::processName() const {
  return Bundle::main().executablePath().filename().string();
}

std::string ProcessInfo::hostName() const {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) {
    return systemName().nodename;
  }
  return name;
}

OperatingSystemVersion ProcessInfo::parseOperatingSystemVersion(std::string_view release) {
  OperatingSystemVersion version;
  std::int64_t* parts[] = {&version.majorVersion, &version.minorVersion, &version.patchVersion};
  for (std::size_t i = 0; i < std::size(parts); ++i) {
    if (release.empty() || !std::isdigit(static_cast<unsigned char>(release.front()))) {
      break;
    }
    *parts[i] = readNumber(release);
    if (release.empty() || release.front() != '.') {
      break;
    }
    release.remove_prefix(1);
  }
  return version;
}

OperatingSystemVersion ProcessInfo::operatingSystemVersion() const {
  return parseOperatingSystemVersion(systemName().release);
}

std::string ProcessInfo::operatingSystemVersionString() const {
  utsname name = systemName();
  OperatingSystemVersion version = parseOperatingSystemVersion(name.release);
  std::string text = "Version " + std::to_string(version.majorVersion) + "." +
                     std::to_string(version.minorVersion);
  if (version.patchVersion != 0) {
    text += "." + std::to_string(version.patchVersion);
  }
  return text + " (Build " + name.release + ")";
}

std::string ProcessInfo::machine() const { return systemName().machine; }

std::uint64_t ProcessInfo::physicalMemory() const {
  long pages = ::sysconf(_SC_PHYS_PAGES);
  long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) {
    return 0;
  }
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

int ProcessInfo::processorCount() const {
  long count = ::sysconf(_SC_NPROCESSORS_CONF);
  return count > 0 ? static_cast<int>(count) : 1;
}

int ProcessInfo::activeProcessorCount() const {
  long count = ::sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? static_cast<int>(count) : 1;
}

double ProcessInfo::systemUptime() const { return Clock::current().uptime(); }

bool ProcessInfo::isMainThread() const { return RunLoop::isMainThread(); }

std::string ProcessInfo::globallyUniqueString() const { return UUID::random().string(); }

}  // namespace platform
