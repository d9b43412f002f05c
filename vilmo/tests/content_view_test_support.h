// Shared by the window's tests: an isolated home and bundle, analytics configured with a
// recording sink, and the Qt application the widget tests need.
#pragma once

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include "analytics/engine/APMAnalytics.h"
#include "analytics/engine/APMMeasurement.h"
#include "analytics/engine/tests/recording_core.h"
#include "foundation/VEVEza.h"
#include "platform/bundle.h"
#include "platform/preview_panel.h"
#include "platform/value.h"
#include "tests/support/temp_home.h"
#include "vilmo/reorg/VirtualFolder.h"

namespace platform {
// Values in failure messages as their description.
inline void PrintTo(const Value& value, std::ostream* os) { *os << value.description(); }
}  // namespace platform

namespace vilmo_test {

// Everything that reaches the analytics entry.
using RecordingSink = analytics_test::RecordingCore;

// A fresh home, the application's bundle as the main bundle, the SDK configured and the
// events recorded.
class AppEnvironmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Bundle::setMainForTesting(VILMO_TEST_BUNDLE);
    if (!VEVEza::isDefaultAppConfigured()) VEVEza::configure();
  }
  void TearDown() override { APMMeasurement::setRecorder(nullptr); }

  // The last event of that name carries these parameters, of these kinds.
  void expectEvent(const std::string& name, const platform::Dictionary& own) {
    const auto events = sink_->events();
    auto it = std::find_if(events.rbegin(), events.rend(),
                           [&](const RecordingSink::Event& e) { return e.name == name; });
    ASSERT_NE(it, events.rend()) << name;
    for (const auto& [key, value] : own) {
      EXPECT_EQ(it->parameters[key], value) << name << " " << key;
      EXPECT_EQ(it->parameters[key].type(), value.type()) << name << " " << key;
    }
  }

  testing_support::TemporaryHome home_;
  std::shared_ptr<RecordingSink> sink_ = RecordingSink::install();
};

// Records what the shared preview panel is asked to show.
struct PanelRecorder {
  std::vector<std::pair<bool, std::optional<std::filesystem::path>>> calls;
};

// Installs a recording presenter and starts from a hidden panel.
inline std::shared_ptr<PanelRecorder> installPanel() {
  auto recorder = std::make_shared<PanelRecorder>();
  platform::PreviewPanel::installPresenter(
      [recorder](bool visible, const std::optional<std::filesystem::path>& item) {
        recorder->calls.emplace_back(visible, item);
      });
  auto panel = platform::PreviewPanel::sharedPreviewPanel();
  if (panel->isVisible()) panel->orderOut();
  recorder->calls.clear();
  return recorder;
}

// An empty folder tree, for state that only asks whether there is one.
inline std::shared_ptr<VirtualFolder> someFolder() {
  return std::make_shared<VirtualFolder>("folder", "/folder");
}

// Runs Qt's event loop (not the platform's pump) until the predicate holds; false after a
// generous timeout.
inline bool processQtEventsUntil(const std::function<bool()>& predicate, int timeoutMs = 10000) {
  QElapsedTimer timer;
  timer.start();
  while (!predicate()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// Widget tests run with a QApplication (offscreen) that lives as long as the test.
class WidgetTest : public AppEnvironmentTest {
 protected:
  void SetUp() override {
    application_ = std::make_unique<QApplication>(argc_, argv_);
    AppEnvironmentTest::SetUp();
  }
  void TearDown() override {
    AppEnvironmentTest::TearDown();
    application_.reset();
  }

 private:
  int argc_ = 1;
  char name_[11] = "vilmo_test";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> application_;
};

}  // namespace vilmo_test
