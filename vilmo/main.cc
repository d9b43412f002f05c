// The process entry: runs the libraries' load hooks, hands the arguments to the platform,
// makes the Qt application on the main thread and runs the application type until its
// event loop ends.
#include <QApplication>

#include "platform/process_info.h"
#include "platform/run_loop.h"
#include "vilmo/LoadHooks.h"
#include "vilmo/vilmo_test_app_newApp.h"

int main(int argc, char** argv) {
  runClassLoadHooks();
  platform::ProcessInfo::captureArguments(argc, argv);
  QApplication application(argc, argv);
  platform::RunLoop::setMainThread();
  vilmo_test_app_newApp::main();
  return 0;
}
