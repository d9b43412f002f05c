#include "platform/reachability.h"

#include <arpa/inet.h>

#include <charconv>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace platform {
namespace {

// Route tables change rarely; reading them this often keeps a change noticed within
// seconds at next to no cost.
constexpr double kPollIntervalSeconds = 2;
constexpr double kPollLeewaySeconds = 0.5;

constexpr unsigned kRouteUp = 0x0001;
constexpr unsigned kRouteGateway = 0x0002;
constexpr unsigned kRouteReject = 0x0200;

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> result;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) result.push_back(line.substr(start, i - start));
  }
  return result;
}

std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> result;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    result.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return result;
}

std::optional<std::uint32_t> hex32(std::string_view text) {
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool isLoopbackHost(std::string_view host) {
  if (host == "localhost" || host == "localhost." || host == "::1") return true;
  in_addr address{};
  const std::string text(host);
  return inet_pton(AF_INET, text.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

// The flags of the routes up that cover the address: /proc/net/route prints addresses and
// masks as the raw 32-bit words, so they compare directly with s_addr.
NetworkReachabilityFlags ipv4Flags(std::uint32_t address, std::string_view routes) {
  NetworkReachabilityFlags found = 0;
  for (const std::string_view line : lines(routes)) {
    const auto f = fields(line);
    if (f.size() < 8 || f[0] == "Iface" || f[0] == "lo") continue;
    const auto destination = hex32(f[1]);
    const auto flags = hex32(f[3]);
    const auto mask = hex32(f[7]);
    if (!destination || !flags || !mask) continue;
    if (!(*flags & kRouteUp) || (*flags & kRouteReject)) continue;
    if ((address & *mask) != *destination) continue;
    found = kNetworkReachabilityFlagsReachable;
    if (!(*flags & kRouteGateway)) return found | kNetworkReachabilityFlagsIsDirect;
  }
  return found;
}

bool hasIPv4DefaultRoute(std::string_view routes) {
  for (const std::string_view line : lines(routes)) {
    const auto f = fields(line);
    if (f.size() < 8 || f[0] == "Iface" || f[0] == "lo") continue;
    const auto destination = hex32(f[1]);
    const auto flags = hex32(f[3]);
    const auto mask = hex32(f[7]);
    if (destination == 0u && mask == 0u && flags && (*flags & kRouteUp) && !(*flags & kRouteReject))
      return true;
  }
  return false;
}

bool hasIPv6DefaultRoute(std::string_view routes) {
  for (const std::string_view line : lines(routes)) {
    const auto f = fields(line);
    if (f.size() < 10 || f[9] == "lo") continue;
    const auto flags = hex32(f[8]);
    if (f[0].size() == 32 && f[0].find_first_not_of('0') == f[0].npos && f[1] == "00" && flags &&
        (*flags & kRouteUp) && !(*flags & kRouteReject))
      return true;
  }
  return false;
}

std::string readText(const char* path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

NetworkReachabilityFlags currentFlags(const std::string& host) {
  return NetworkReachabilityFlagsForHost(host, readText("/proc/net/route"),
                                         readText("/proc/net/ipv6_route"));
}

QueuePtr pollQueue() {
  // Never destroyed: a poll may still be under way while the process exits.
  static const auto* const queue = new QueuePtr(Queue::serial("com.vilmo.platform.reachability"));
  return *queue;
}

// What the poll timer and the queued callbacks share with the handle; they hold it weakly
// or briefly, so the handle can go while a poll is under way.
struct Watch {
  std::mutex mutex;
  NetworkReachabilityCallBack callback = nullptr;
  void* info = nullptr;
  // Bumped by every unschedule, so a callback queued before it is dropped.
  std::uint64_t generation = 0;
};

}  // namespace

struct NetworkReachability {
  std::string host;
  std::shared_ptr<Watch> watch = std::make_shared<Watch>();
  QueuePtr queue;
  std::shared_ptr<TimerSource> timer;
};

NetworkReachabilityFlags NetworkReachabilityFlagsForHost(std::string_view host,
                                                         std::string_view ipv4Routes,
                                                         std::string_view ipv6Routes) {
  if (isLoopbackHost(host))
    return kNetworkReachabilityFlagsReachable | kNetworkReachabilityFlagsIsLocalAddress |
           kNetworkReachabilityFlagsIsDirect;
  in_addr address{};
  const std::string text(host);
  if (inet_pton(AF_INET, text.c_str(), &address) == 1) return ipv4Flags(address.s_addr, ipv4Routes);
  return hasIPv4DefaultRoute(ipv4Routes) || hasIPv6DefaultRoute(ipv6Routes)
             ? kNetworkReachabilityFlagsReachable
             : 0;
}

NetworkReachabilityRef NetworkReachabilityCreateWithName(const char* host) {
  if (!host || !*host) return nullptr;
  auto* target = new NetworkReachability;
  target->host = host;
  return target;
}

bool NetworkReachabilitySetCallback(NetworkReachabilityRef target,
                                    NetworkReachabilityCallBack callback,
                                    const NetworkReachabilityContext* context) {
  if (!target) return false;
  std::lock_guard lock(target->watch->mutex);
  target->watch->callback = callback;
  target->watch->info = callback && context ? context->info : nullptr;
  return true;
}

bool NetworkReachabilityScheduleWithRunLoop(NetworkReachabilityRef target, QueuePtr queue) {
  if (!target || !queue || target->queue) return false;
  target->queue = queue;
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(target->watch->mutex);
    generation = target->watch->generation;
  }
  target->timer = TimerSource::create(pollQueue());
  target->timer->setTimer(0, kPollIntervalSeconds, kPollLeewaySeconds);
  target->timer->setEventHandler(
      [target, weak = std::weak_ptr<Watch>(target->watch), queue, generation, host = target->host,
       lastFlags = std::make_shared<std::optional<NetworkReachabilityFlags>>()] {
        const auto watch = weak.lock();
        if (!watch) return;
        const NetworkReachabilityFlags flags = currentFlags(host);
        if (*lastFlags == flags) return;
        *lastFlags = flags;
        queue->async([target, watch, generation, flags] {
          NetworkReachabilityCallBack callback = nullptr;
          void* info = nullptr;
          {
            std::lock_guard lock(watch->mutex);
            if (watch->generation != generation) return;
            callback = watch->callback;
            info = watch->info;
          }
          if (callback) callback(target, flags, info);
        });
      });
  target->timer->resume();
  return true;
}

bool NetworkReachabilityUnscheduleFromRunLoop(NetworkReachabilityRef target,
                                              const QueuePtr& queue) {
  if (!target || !target->queue || target->queue != queue) return false;
  {
    std::lock_guard lock(target->watch->mutex);
    ++target->watch->generation;
  }
  target->timer->cancel();
  target->timer.reset();
  target->queue.reset();
  return true;
}

void NetworkReachabilityRelease(NetworkReachabilityRef target) {
  if (!target) return;
  if (target->queue) NetworkReachabilityUnscheduleFromRunLoop(target, target->queue);
  delete target;
}

}  // namespace platform
