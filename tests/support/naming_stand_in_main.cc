// vilmo-naming-stand-in: the fake naming service as a program of its own, for running the
// application by hand without the real service. It proposes names and folder trees by
// simple rules only.
// Prints its base address as the first line of standard output, then serves until it gets
// SIGTERM, SIGINT or SIGHUP, or its parent process ends.
#include <signal.h>
#include <sys/prctl.h>

#include <iostream>

#include "tests/support/fake_naming_service.h"

int main() {
  // Blocked before the service starts its threads, so that they inherit the mask and only
  // sigwait below receives these signals.
  sigset_t stopping;
  sigemptyset(&stopping);
  sigaddset(&stopping, SIGTERM);
  sigaddset(&stopping, SIGINT);
  sigaddset(&stopping, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
  // A script that started the stand-in and was killed cannot stop it any more.
  prctl(PR_SET_PDEATHSIG, SIGTERM);

  testing_support::FakeNamingService service;
  std::cout << service.baseURL() << std::endl;
  int received = 0;
  sigwait(&stopping, &received);
  return 0;
}
