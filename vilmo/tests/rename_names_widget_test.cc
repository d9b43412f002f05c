// File names as the three rename screens paint them: whole wherever the row has room,
// shortened in the middle (so that the extension and any number stay readable) only while
// the row is too narrow, and fitted again as the window is resized. What is checked is the
// text the widgets hand to the paint engine, not the text they hold.

#include <algorithm>
#include <climits>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QGraphicsEffect>
#include <QLabel>
#include <QLineEdit>
#include <QPaintEngine>
#include <QTextItem>
#include <gtest/gtest.h>

#include "vilmo/rename/FileListArea.h"
#include "vilmo/rename/PlainButton.h"
#include "vilmo/rename/Rename1ViewWidget.h"
#include "vilmo/rename/Rename2ViewWidget.h"
#include "vilmo/rename/Rename3ViewWidget.h"
#include "vilmo/tests/content_view_test_support.h"
#include "vilmo/widgets/ElidedLabel.h"
#include "vilmo/widgets/ElidedLineEdit.h"

namespace {

namespace fs = std::filesystem;

// Keeps the text items painted on it and how far right they reach; draws nothing.
class TextRecordingEngine : public QPaintEngine {
 public:
  TextRecordingEngine() : QPaintEngine(QPaintEngine::AllFeatures) {}
  bool begin(QPaintDevice*) override { return true; }
  bool end() override { return true; }
  void updateState(const QPaintEngineState&) override {}
  void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
  void drawPath(const QPainterPath&) override {}
  void drawPolygon(const QPointF*, int, PolygonDrawMode) override {}
  void drawRects(const QRectF*, int) override {}
  void drawImage(const QRectF&, const QImage&, const QRectF&, Qt::ImageConversionFlags) override {}
  void drawTextItem(const QPointF& origin, const QTextItem& item) override {
    text += item.text();
    const double x = state->transform().map(origin).x();
    left = std::min(left, x);
    right = std::max(right, x + item.width());
  }
  Type type() const override { return QPaintEngine::User; }

  QString text;
  double left = std::numeric_limits<double>::infinity();
  double right = 0;
};

class TextRecorder : public QPaintDevice {
 public:
  explicit TextRecorder(QSize size) : size_(size) {}
  QPaintEngine* paintEngine() const override { return &engine_; }
  const TextRecordingEngine& recorded() const { return engine_; }

 protected:
  int metric(PaintDeviceMetric metric) const override {
    switch (metric) {
    case PdmWidth:
      return size_.width();
    case PdmHeight:
      return size_.height();
    case PdmWidthMM:
      return size_.width() * 254 / 960;
    case PdmHeightMM:
      return size_.height() * 254 / 960;
    case PdmNumColors:
      return INT_MAX;
    case PdmDepth:
      return 32;
    case PdmDpiX:
    case PdmDpiY:
    case PdmPhysicalDpiX:
    case PdmPhysicalDpiY:
      return 96;
    case PdmDevicePixelRatio:
      return 1;
    case PdmDevicePixelRatioScaled:
      return static_cast<int>(devicePixelRatioFScale());
    default:
      return 0;
    }
  }

 private:
  QSize size_;
  mutable TextRecordingEngine engine_;
};

// One name widget of a screen and the name it stands for.
struct ShownName {
  QWidget* widget;
  std::string name;
};

// What a name widget paints: the text, and whether all of it lies inside the widget and the
// widget inside the visible width of its list.
struct Painted {
  std::string text;
  bool visible;
};

Painted paint(const ShownName& shown, QWidget* listViewport) {
  QWidget* widget = shown.widget;
  // A shadow effect draws the widget through a pixmap, out of the recorder's sight; the
  // text it draws there is the same.
  QGraphicsEffect* effect = widget->graphicsEffect();
  if (effect) effect->setEnabled(false);
  TextRecorder recorder(widget->size());
  widget->render(&recorder);
  if (effect) effect->setEnabled(true);
  QRect inList(widget->mapTo(listViewport, QPoint(0, 0)), widget->size());
  bool visible = recorder.recorded().right <= widget->width() + 0.5 && inList.left() >= 0 &&
                 inList.right() <= listViewport->rect().right();
  return {recorder.recorded().text.toStdString(), visible};
}

// A name of 120 characters whose end alone tells it from its sibling.
std::string longName(int number) {
  return "Summer holiday at the coast with the whole family, a long walk along the cliffs and a "
         "picnic on the sand beach_000" +
         std::to_string(number) + ".jpeg";
}

// Names the row has room for beside a proposal as long (which has at least half of the
// preview's row); one that looks like markup is shown as it stands too.
const std::vector<std::string> kShortNames = {"report.txt", "IMG_0001.jpeg", "IMG_0002.jpeg",
                                              "Report_v2.txt", "<b>draft.txt"};
const std::vector<std::string> kLongNames = {longName(1), longName(2)};

// The screen's rows hold these names, in this order, in every name widget of the row.
struct ScreenCase {
  const char* label;
  std::function<std::unique_ptr<TwoColumnScreen>(const std::vector<std::string>&)> make;
  std::function<std::vector<ShownName>(TwoColumnScreen*)> names;
  std::function<QWidget*(TwoColumnScreen*)> listViewport;
  // How many characters of a long name's start and of its end stay readable at the window's
  // first size: in the preview the name shares its row with a proposal as long, which has at
  // least half of it.
  std::size_t keptAtEachEnd;
};

using Rows = std::vector<RenameResult>;

Binding<Rows> bindRows(const std::vector<std::string>& names) {
  auto rows = std::make_shared<Rows>();
  for (const std::string& name : names) rows->push_back({name, name, "/f/" + name});
  return {[rows] { return *rows; }, [rows](Rows value) { *rows = std::move(value); }};
}

std::vector<ScreenCase> screenCases() {
  return {
      {"drop",
       [](const std::vector<std::string>& names) {
         auto files = std::make_shared<std::vector<fs::path>>();
         for (const std::string& name : names) files->push_back("/f/" + name);
         auto types = std::make_shared<std::vector<std::string>>();
         Rename1View view;
         view.supportedFiles = {[files] { return *files; },
                                [files](std::vector<fs::path> value) { *files = value; }};
         view.unsupportedFileTypes = {[types] { return *types; },
                                      [types](std::vector<std::string> value) { *types = value; }};
         return std::make_unique<Rename1ViewWidget>(view);
       },
       [](TwoColumnScreen* screen) {
         std::vector<ShownName> shown;
         for (const auto& row : static_cast<Rename1ViewWidget*>(screen)->fileRows()) {
           shown.push_back({row.name, row.name->text().toStdString()});
         }
         return shown;
       },
       [](TwoColumnScreen* screen) {
         return static_cast<Rename1ViewWidget*>(screen)->fileList()->viewport();
       },
       10},
      {"preview",
       [](const std::vector<std::string>& names) {
         Rename2View view;
         view.renameResults = bindRows(names);
         return std::make_unique<Rename2ViewWidget>(view);
       },
       [](TwoColumnScreen* screen) {
         std::vector<ShownName> shown;
         for (auto* row : static_cast<Rename2ViewWidget*>(screen)->rows()) {
           shown.push_back({row->nameButton(), row->nameButton()->text().toStdString()});
         }
         return shown;
       },
       [](TwoColumnScreen* screen) {
         return static_cast<Rename2ViewWidget*>(screen)->rowList()->viewport();
       },
       6},
      {"finished",
       [](const std::vector<std::string>& names) {
         Rename3View view;
         view.renameResults = bindRows(names);
         return std::make_unique<Rename3ViewWidget>(view);
       },
       [](TwoColumnScreen* screen) {
         std::vector<ShownName> shown;
         for (auto* row : static_cast<Rename3ViewWidget*>(screen)->rows()) {
           shown.push_back({row->oldNameButton(), row->oldNameButton()->text().toStdString()});
           shown.push_back({row->newNameLabel(), row->newNameLabel()->text().toStdString()});
         }
         return shown;
       },
       [](TwoColumnScreen* screen) {
         return static_cast<Rename3ViewWidget*>(screen)->rowList()->viewport();
       },
       10},
  };
}

// The window's first size, and one wide enough for the longest name beside a proposal.
constexpr QSize kWindowSize(585, 381);
constexpr QSize kWideWindowSize(3000, 381);

class RenameNamesWidgetTest : public vilmo_test::WidgetTest {
 protected:
  static void showAt(TwoColumnScreen& screen, QSize size) {
    screen.resize(size);
    screen.show();
    QApplication::processEvents();
  }
};

TEST_F(RenameNamesWidgetTest, NamesWithRoomAreDrawnWholeAtTheWindowsFirstSize) {
  for (const ScreenCase& screenCase : screenCases()) {
    SCOPED_TRACE(screenCase.label);
    auto screen = screenCase.make(kShortNames);
    showAt(*screen, kWindowSize);
    std::vector<ShownName> names = screenCase.names(screen.get());
    ASSERT_FALSE(names.empty());
    for (const ShownName& shown : names) {
      EXPECT_NE(std::find(kShortNames.begin(), kShortNames.end(), shown.name), kShortNames.end());
      Painted painted = paint(shown, screenCase.listViewport(screen.get()));
      EXPECT_EQ(painted.text, shown.name);
      EXPECT_TRUE(painted.visible) << shown.name;
    }
  }
}

TEST_F(RenameNamesWidgetTest, NamesTooLongForTheRowAreShortenedInTheMiddleUntilTheRowGrows) {
  ASSERT_EQ(kLongNames[0].size(), 120u);
  for (const ScreenCase& screenCase : screenCases()) {
    SCOPED_TRACE(screenCase.label);
    auto screen = screenCase.make(kLongNames);
    showAt(*screen, kWindowSize);
    std::vector<ShownName> names = screenCase.names(screen.get());
    ASSERT_FALSE(names.empty());
    std::vector<std::string> shortened;
    for (const ShownName& shown : names) {
      Painted painted = paint(shown, screenCase.listViewport(screen.get()));
      SCOPED_TRACE(painted.text);
      EXPECT_TRUE(painted.visible);
      const std::string& text = painted.text;
      std::size_t gap = text.find("…");
      ASSERT_NE(gap, std::string::npos);
      // The start of the name and its end, with the number and the extension, around the gap.
      EXPECT_GE(gap, screenCase.keptAtEachEnd);
      EXPECT_EQ(shown.name.substr(0, gap), text.substr(0, gap));
      std::string end = text.substr(gap + std::string("…").size());
      EXPECT_GE(end.size(), screenCase.keptAtEachEnd);
      EXPECT_TRUE(shown.name.ends_with(end));
      shortened.push_back(text);
    }
    // Names that differ still differ where they are drawn.
    for (std::size_t i = 0; i < names.size(); ++i) {
      for (std::size_t j = i + 1; j < names.size(); ++j) {
        if (names[i].name != names[j].name) {
          EXPECT_NE(shortened[i], shortened[j]);
        }
      }
    }

    showAt(*screen, kWideWindowSize);
    for (const ShownName& shown : names) {
      Painted painted = paint(shown, screenCase.listViewport(screen.get()));
      EXPECT_EQ(painted.text, shown.name);
      EXPECT_TRUE(painted.visible) << shown.name;
    }

    showAt(*screen, kWindowSize);
    for (std::size_t i = 0; i < names.size(); ++i) {
      EXPECT_EQ(paint(names[i], screenCase.listViewport(screen.get())).text, shortened[i]);
    }
  }
}

TEST_F(RenameNamesWidgetTest, LongProposalsShowTheirBeginningWhileNotBeingEdited) {
  Rename2View view;
  view.renameResults = bindRows(kLongNames);
  Rename2ViewWidget screen(view);
  showAt(screen, kWindowSize);
  ASSERT_EQ(screen.rows().size(), kLongNames.size());
  for (auto* row : screen.rows()) {
    QLineEdit* field = row->nameField();
    TextRecorder recorder(field->size());
    // Its shadow would draw it through a pixmap, out of the recorder's sight.
    if (QGraphicsEffect* effect = field->graphicsEffect()) effect->setEnabled(false);
    field->render(&recorder);
    if (QGraphicsEffect* effect = field->graphicsEffect()) effect->setEnabled(true);
    SCOPED_TRACE(recorder.recorded().text.toStdString());
    ASSERT_FALSE(recorder.recorded().text.isEmpty());
    // A field scrolled to its end would start drawing left of its own edge, cutting the
    // first letters (even a glyph in half) with nothing to show that they are missing.
    EXPECT_GE(recorder.recorded().left, 0);
    QString start = recorder.recorded().text.section(QStringLiteral("…"), 0, 0);
    EXPECT_GE(start.size(), 10);
    EXPECT_TRUE(kLongNames[0].starts_with(start.toStdString()));
  }
}

// The proposals are the names the user came for: beside a long file name a proposal still
// gets at least half of the width the two names share, the file name giving way first; a
// proposal too long even for that is cut at its end with "…" (never mid-glyph at the field's
// edge), and shown whole again while it is being edited.
TEST_F(RenameNamesWidgetTest, ProposalsKeepHalfTheRowAndEndInAnEllipsisWhenCut) {
  const std::string longProposal =
      "Summer_Holiday_Coast_Family_Cliff_Walk_Picnic_On_The_Sand_Beach_0001";
  const Rows rows = {
      {longName(1), longProposal, "/f/" + longName(1)},
      {longName(2), "Beach_Picnic", "/f/" + longName(2)},
      {"IMG_0003.jpeg", longProposal, "/f/IMG_0003.jpeg"},
      {"IMG_0004.jpeg", "Beach", "/f/IMG_0004.jpeg"},
  };
  auto stored = std::make_shared<Rows>(rows);
  Rename2View view;
  view.renameResults = {[stored] { return *stored; }, [stored](Rows value) { *stored = value; }};
  Rename2ViewWidget screen(view);
  ASSERT_EQ(screen.rows().size(), rows.size());
  QWidget* viewport = screen.rowList()->viewport();

  for (QSize size : {kWindowSize, QSize(1000, 381)}) {
    SCOPED_TRACE(size.width());
    showAt(screen, size);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      SCOPED_TRACE(rows[i].newName);
      Rename2RowWidget* row = screen.rows()[i];
      auto* field = row->nameField();
      const int shared = field->width() + row->nameButton()->width();
      EXPECT_GE(2 * field->width(), shared);
      // A short file name stays whole.
      if (rows[i].oldName.size() < 20) {
        EXPECT_EQ(paint({row->nameButton(), rows[i].oldName}, viewport).text, rows[i].oldName);
      }

      Painted painted = paint({field, rows[i].newName}, viewport);
      EXPECT_TRUE(painted.visible);
      const QString proposal = QString::fromStdString(rows[i].newName);
      if (ElidedLabel::naturalWidth(proposal, field->font()) <= field->width() - 4) {
        EXPECT_EQ(painted.text, rows[i].newName);
        continue;
      }
      const std::string ellipsis = "…";
      ASSERT_TRUE(painted.text.ends_with(ellipsis)) << painted.text;
      std::string start = painted.text.substr(0, painted.text.size() - ellipsis.size());
      EXPECT_GE(start.size(), 8u);
      EXPECT_TRUE(rows[i].newName.starts_with(start)) << painted.text;
    }
  }

  // Being edited, the long proposal is the field's own text, drawn whole and scrolled.
  showAt(screen, kWindowSize);
  screen.activateWindow();
  auto* field = screen.rows()[0]->nameField();
  field->setFocus(Qt::MouseFocusReason);
  QApplication::processEvents();
  ASSERT_TRUE(field->hasFocus());
  field->end(false);
  TextRecorder recorder(field->size());
  field->graphicsEffect()->setEnabled(false);
  field->render(&recorder);
  field->graphicsEffect()->setEnabled(true);
  EXPECT_EQ(recorder.recorded().text.toStdString(), longProposal);
  EXPECT_EQ(field->text().toStdString(), longProposal);
  // Leaving the field shows the proposal from its start again, cut at its end.
  field->clearFocus();
  QApplication::processEvents();
  Painted left = paint({field, longProposal}, viewport);
  EXPECT_TRUE(left.text.ends_with("…")) << left.text;
  EXPECT_TRUE(longProposal.starts_with(left.text.substr(0, 8)));
}

}  // namespace
