#include "platform/reachability.h"

#include <string>

#include <gtest/gtest.h>

#include "platform/run_loop.h"
#include "tests/support/main_queue.h"

namespace platform {
namespace {

constexpr NetworkReachabilityFlags kLocal = kNetworkReachabilityFlagsReachable |
                                            kNetworkReachabilityFlagsIsLocalAddress |
                                            kNetworkReachabilityFlagsIsDirect;
constexpr NetworkReachabilityFlags kDirect =
    kNetworkReachabilityFlagsReachable | kNetworkReachabilityFlagsIsDirect;
constexpr NetworkReachabilityFlags kViaGateway = kNetworkReachabilityFlagsReachable;

const char* const kIPv4Header =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
// eth0: default via 192.168.0.1 and 192.168.0.0/24 on the link (words as the kernel prints
// them on a little-endian machine).
const char* const kIPv4WithDefault =
    "eth0\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
    "eth0\t0000A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n";
const char* const kIPv4LinkOnly = "eth0\t0000A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n";
const char* const kIPv4DefaultDown =
    "eth0\t00000000\t0100A8C0\t0002\t0\t0\t100\t00000000\t0\t0\t0\n";
const char* const kIPv6LoopbackOnly =
    "00000000000000000000000000000001 80 00000000000000000000000000000000 00 "
    "00000000000000000000000000000000 00000000 00000002 00000000 80200001       lo\n"
    "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
    "00000000000000000000000000000000 ffffffff 00000001 00000000 00200200       lo\n";
const char* const kIPv6WithDefault =
    "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
    "fe800000000000000000000000000001 00000400 00000001 00000000 00000003     eth0\n";

struct FlagsCase {
  const char* host;
  std::string ipv4;
  std::string ipv6;
  NetworkReachabilityFlags expected;
};

TEST(NetworkReachabilityFlagsForHost, ReadsTheRouteTables) {
  const std::string header = kIPv4Header;
  const FlagsCase cases[] = {
      {"localhost", header, "", kLocal},
      {"127.0.0.1", header, "", kLocal},
      {"127.8.9.10", header, "", kLocal},
      {"::1", header, "", kLocal},
      {"example.invalid", header + kIPv4WithDefault, "", kViaGateway},
      {"example.invalid", header + kIPv4LinkOnly, kIPv6LoopbackOnly, 0},
      {"example.invalid", header + kIPv4DefaultDown, "", 0},
      {"example.invalid", header, kIPv6WithDefault, kViaGateway},
      {"example.invalid", header, kIPv6LoopbackOnly, 0},
      {"192.168.0.20", header + kIPv4LinkOnly, "", kDirect},
      {"192.168.0.20", header + kIPv4WithDefault, "", kDirect},
      {"10.1.2.3", header + kIPv4WithDefault, "", kViaGateway},
      {"10.1.2.3", header + kIPv4LinkOnly, "", 0},
      {"0.0.0.0", header + kIPv4WithDefault, "", kViaGateway},
      {"0.0.0.0", header + kIPv4LinkOnly, "", 0},
      {"example.invalid", "garbage\n\tmore garbage", "short line\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.host) + "\n" + c.ipv4 + c.ipv6);
    EXPECT_EQ(NetworkReachabilityFlagsForHost(c.host, c.ipv4, c.ipv6), c.expected);
  }
}

struct Received {
  int calls = 0;
  NetworkReachabilityRef target = nullptr;
  NetworkReachabilityFlags flags = 0;
};

void record(NetworkReachabilityRef target, NetworkReachabilityFlags flags, void* info) {
  auto* received = static_cast<Received*>(info);
  ++received->calls;
  received->target = target;
  received->flags = flags;
}

TEST(NetworkReachability, SchedulingDeliversTheFlagsOnTheQueue) {
  NetworkReachabilityRef target = NetworkReachabilityCreateWithName("127.0.0.1");
  ASSERT_NE(target, nullptr);
  Received received;
  NetworkReachabilityContext context{&received};
  ASSERT_TRUE(NetworkReachabilitySetCallback(target, &record, &context));
  ASSERT_TRUE(NetworkReachabilityScheduleWithRunLoop(target, Queue::main()));
  EXPECT_FALSE(NetworkReachabilityScheduleWithRunLoop(target, Queue::main()));

  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return received.calls > 0; }));
  EXPECT_EQ(received.target, target);
  EXPECT_EQ(received.flags, kLocal);

  EXPECT_FALSE(NetworkReachabilityUnscheduleFromRunLoop(target, Queue::serial("other")));
  EXPECT_TRUE(NetworkReachabilityUnscheduleFromRunLoop(target, Queue::main()));
  EXPECT_FALSE(NetworkReachabilityUnscheduleFromRunLoop(target, Queue::main()));
  NetworkReachabilityRelease(target);
}

TEST(NetworkReachability, NothingIsDeliveredAfterRelease) {
  Received received;
  NetworkReachabilityContext context{&received};
  NetworkReachabilityRef target = NetworkReachabilityCreateWithName("localhost");
  ASSERT_TRUE(NetworkReachabilitySetCallback(target, &record, &context));
  ASSERT_TRUE(NetworkReachabilityScheduleWithRunLoop(target, Queue::main()));
  NetworkReachabilityRelease(target);
  RunLoop::runFor(0.2);
  EXPECT_EQ(received.calls, 0);
}

TEST(NetworkReachability, RefusesEmptyNamesAndNullHandles) {
  EXPECT_EQ(NetworkReachabilityCreateWithName(""), nullptr);
  EXPECT_EQ(NetworkReachabilityCreateWithName(nullptr), nullptr);
  EXPECT_FALSE(NetworkReachabilitySetCallback(nullptr, &record, nullptr));
  EXPECT_FALSE(NetworkReachabilityScheduleWithRunLoop(nullptr, Queue::main()));
  EXPECT_FALSE(NetworkReachabilityUnscheduleFromRunLoop(nullptr, Queue::main()));
  NetworkReachabilityRelease(nullptr);
}

}  // namespace
}  // namespace platform
