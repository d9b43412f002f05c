// NetworkReachability: whether a host could be reached over the system's current interfaces
// and routes, told as flag bits to a callback whenever they change. It reads the kernel's
// route tables only; it never sends anything to the host or to any other address.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/dispatch.h"

namespace platform {

using NetworkReachabilityFlags = std::uint32_t;

inline constexpr NetworkReachabilityFlags kNetworkReachabilityFlagsTransientConnection = 1u << 0;
inline constexpr NetworkReachabilityFlags kNetworkReachabilityFlagsReachable = 1u << 1;
inline constexpr NetworkReachabilityFlags kNetworkReachabilityFlagsConnectionRequired = 1u << 2;
inline constexpr NetworkReachabilityFlags kNetworkReachabilityFlagsConnectionOnTraffic = 1u << 3;
inline constexpr NetworkReachabilityFlags kNetworkReachabilityFlagsInterventionRequired = 1u << 4;
inline constexpr NetworkReachabilityFlags kNetworkReachabilityFlagsConnectionOnDemand = 1u << 5;
inline constexpr NetworkReachabilityFlags kNetworkReachabilityFlagsIsLocalAddress = 1u << 16;
inline constexpr NetworkReachabilityFlags kNetworkReachabilityFlagsIsDirect = 1u << 17;

struct NetworkReachability;
using NetworkReachabilityRef = NetworkReachability*;
using NetworkReachabilityCallBack = void (*)(NetworkReachabilityRef target,
                                             NetworkReachabilityFlags flags, void* info);

// The info pointer handed back to the callback; not retained.
struct NetworkReachabilityContext {
  void* info = nullptr;
};

// A handle watching one host name or numeric address; null for an empty name. Release it
// with NetworkReachabilityRelease.
NetworkReachabilityRef NetworkReachabilityCreateWithName(const char* host);
// A null callback clears it. False for a null handle.
bool NetworkReachabilitySetCallback(NetworkReachabilityRef target,
                                    NetworkReachabilityCallBack callback,
                                    const NetworkReachabilityContext* context);
// Starts watching: the callback runs as a task on the queue (the main queue stands for the
// main run loop) with the first flags found, then each time they change. Unschedule and
// release on that queue's thread, so that no callback runs after them. False when the
// handle is null or already scheduled.
bool NetworkReachabilityScheduleWithRunLoop(NetworkReachabilityRef target, QueuePtr queue);
// Stops watching; callbacks already queued are dropped. False when not scheduled on it.
bool NetworkReachabilityUnscheduleFromRunLoop(NetworkReachabilityRef target, const QueuePtr& queue);
// Stops watching and frees the handle; null is ignored.
void NetworkReachabilityRelease(NetworkReachabilityRef target);

// The flags for a host given the text of /proc/net/route and /proc/net/ipv6_route.
// Loopback names and addresses are reachable, local and direct. An IPv4 address is
// reachable through any route up that covers it (direct without a gateway); any other host
// through a default route of either family on an interface other than the loopback.
NetworkReachabilityFlags NetworkReachabilityFlagsForHost(std::string_view host,
                                                         std::string_view ipv4Routes,
                                                         std::string_view ipv6Routes);

}  // namespace platform
