#include "controls/dib_glyph_button.h"

#include <gtest/gtest.h>

#include <QCursor>
#include <QDialog>
#include <QTimer>

#include "controls/dib_image_container.h"
#include "tests/controls/dib_test_support.h"

using namespace dibtest;

namespace {

TEST(GlyphIndexTest, StateChoosesTheGlyphTheStripHas) {
  const struct {
    int state, glyphs, expected;
  } cases[] = {
      // five glyphs: one per state
      {bsUp, 5, 0},
      {bsClicking, 5, 1},
      {bsDisabled, 5, 2},
      {bsMouseOver, 5, 3},
      {bsDown, 5, 4},
      // four: down borrows the clicking glyph
      {bsMouseOver, 4, 3},
      {bsDown, 4, 1},
      // three: mouse over shows up, down shows clicking
      {bsDisabled, 3, 2},
      {bsMouseOver, 3, 0},
      {bsDown, 3, 1},
      // two: disabled and mouse over show up
      {bsUp, 2, 0},
      {bsClicking, 2, 1},
      {bsDisabled, 2, 0},
      {bsMouseOver, 2, 0},
      {bsDown, 2, 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TDIBGlyphButton::GlyphIndex(c.state, c.glyphs), c.expected)
        << "state " << c.state << ", " << c.glyphs << " glyphs";
  for (int state : {-1, 5, 1000}) {
    try {
      TDIBGlyphButton::GlyphIndex(state, 5);
      ADD_FAILURE() << state;
    } catch (const EDIBGlyphButtonError& e) {
      EXPECT_STREQ(e.what(), "Unknown button state");
    }
  }
}

// A container of 80 x 20 on black with buttons of 10 x 8 glyphs.
class GlyphButtonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    list = new TDIBImageList(&form);
    for (int glyphs = 2; glyphs <= 5; ++glyphs) Strip(list->Add().DIB, glyphs, 10, 8);
    container = new TDIBImageContainer(&form);
    container->resize(80, 20);
    container->SetColor(Qt::black);
  }

  // A button on a strip of `glyphs` glyphs at x = left, y = 4.
  TDIBGlyphButton* Button(int glyphs, int left, TComponent* owner = nullptr) {
    auto* button = new TDIBGlyphButton(owner ? owner : &form);
    button->SetBounds(left, 4, 1, 1);
    button->SetDIBImageList(list);
    button->SetNumGlyphs(glyphs);
    button->Glyph().SetDIBIndex(glyphs - 2);
    button->SetParent(container);
    return button;
  }
  static QPoint Centre(TDIBGlyphButton* b) { return b->BoundsRect().center(); }
  int Shown(TDIBGlyphButton* b) { return GlyphAt(*container, Centre(b)); }

  TComponent form{nullptr};
  TDIBImageList* list = nullptr;
  TDIBImageContainer* container = nullptr;
};

TEST_F(GlyphButtonTest, FollowsTheMouseTheFocusAndItsProperties) {
  TDIBGlyphButton* b = Button(5, 10);
  const QPoint inside = Centre(b), outside(70, 2);
  EXPECT_EQ(Shown(b), bsUp);
  Move(*container, inside);
  EXPECT_EQ(Shown(b), bsMouseOver);
  Mouse(*container, QEvent::MouseButtonPress, inside);
  EXPECT_EQ(Shown(b), bsClicking);
  Move(*container, outside);  // held, but the mouse has left
  EXPECT_EQ(Shown(b), bsUp);
  Move(*container, inside);
  EXPECT_EQ(Shown(b), bsClicking);
  Mouse(*container, QEvent::MouseButtonRelease, inside);
  EXPECT_EQ(Shown(b), bsMouseOver);
  Leave(*container);
  EXPECT_EQ(Shown(b), bsUp);

  b->SetDown(true);
  EXPECT_EQ(Shown(b), bsDown);
  b->SetEnabled(false);  // disabled wins over down
  EXPECT_EQ(Shown(b), bsDisabled);
  b->SetEnabled(true);
  EXPECT_EQ(Shown(b), bsDown);
  b->SetDown(false);
  EXPECT_EQ(Shown(b), bsUp);

  b->SetFocus();  // the focused button looks like one under the mouse
  EXPECT_EQ(Shown(b), bsMouseOver);
  container->SetActiveControl(nullptr);
  EXPECT_EQ(Shown(b), bsUp);
}

// Runs the events for a while: what the window system queued and the deferred re-check.
void Settle() {
  for (int i = 0; i < 10; ++i) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

TEST_F(GlyphButtonTest, AModalDialogOpenedByAClickEndsTheHover) {
  // The modal dialog takes the mouse, and no leave reaches the container; when it closes, the
  // button shows where the cursor really is.
  container->setWindowFlags(Qt::Window);
  container->move(100, 100);
  container->show();
  TDIBGlyphButton* b = Button(5, 10);
  const QPoint inside = Centre(b);
  const struct {
    const char* where;
    QPoint cursor;  // global, while the dialog is open and after
    int after;
  } cases[] = {
      {"outside the window", QPoint(20, 20), bsUp},
      {"on the window, off the button", container->mapToGlobal(QPoint(70, 2)), bsUp},
      {"back on the button", container->mapToGlobal(inside), bsMouseOver},
  };
  for (const auto& c : cases) {
    QCursor::setPos(c.cursor);
    Settle();
    int during = -1;
    b->OnClick = [&](TObject*) {
      QDialog dialog(container);
      QTimer::singleShot(0, &dialog, [&] {
        during = b->State();
        dialog.reject();
      });
      dialog.exec();
    };
    Click(*container, inside);  // as the mouse gives it, whatever the cursor
    Settle();
    EXPECT_EQ(during, bsUp) << c.where;
    EXPECT_EQ(b->State(), c.after) << c.where;
    EXPECT_EQ(Shown(b), c.after) << c.where;
  }

  // A window that is hidden under the mouse ends the hover too.
  Move(*container, inside);
  ASSERT_EQ(b->State(), bsMouseOver);
  container->hide();
  EXPECT_EQ(b->State(), bsUp);
}

TEST_F(GlyphButtonTest, ShortStripsShowTheirFallbackGlyphs) {
  TDIBGlyphButton* three = Button(3, 10);
  TDIBGlyphButton* two = Button(2, 30);
  three->SetDown(true);
  two->SetEnabled(false);
  EXPECT_EQ(Shown(three), 1);
  EXPECT_EQ(Shown(two), 0);
  two->SetEnabled(true);
  two->SetDown(true);
  EXPECT_EQ(Shown(two), 1);
}

TEST_F(GlyphButtonTest, SizesItselfToOneGlyphAndKeepsNumGlyphsInRange) {
  // A strip 50 wide: 5 glyphs of 10, or 2 of 25.
  TDIBGlyphButton* b = Button(5, 10);
  EXPECT_EQ(b->BoundsRect(), QRect(10, 4, 10, 8));
  for (int refused : {1, 6, 0, -3}) {
    b->SetNumGlyphs(refused);
    EXPECT_EQ(b->NumGlyphs(), 5) << refused;
  }
  EXPECT_EQ(b->Width(), 10);
  b->SetNumGlyphs(2);
  EXPECT_EQ(b->BoundsRect(), QRect(10, 4, 25, 8));
  // Glyph 1 of a 50-wide strip cut in two starts at x = 25: the colour of glyph 2 of five.
  b->SetDown(true);
  EXPECT_EQ(GlyphAt(*container, QPoint(12, 6)), 2);

  // Without an image the button keeps the size it was given.
  TDIBGlyphButton bare(&form);
  bare.SetBounds(0, 0, 7, 3);
  bare.SetNumGlyphs(4);
  EXPECT_EQ(bare.BoundsRect(), QRect(0, 0, 7, 3));
}

TEST_F(GlyphButtonTest, ClickFiresOnceOnAnEnabledButtonOnly) {
  TDIBGlyphButton* b = Button(5, 10);
  int clicks = 0, doubles = 0, downs = 0;
  b->OnClick = [&](TObject* sender) {
    EXPECT_EQ(sender, b);
    ++clicks;
  };
  b->OnDblClick = [&](TObject*) { ++doubles; };
  b->OnMouseDown = [&](TObject*, TMouseButton, TShiftState, int, int) { ++downs; };
  const QPoint inside = Centre(b);

  Click(*container, inside);
  EXPECT_EQ(clicks, 1);
  b->SetDown(true);  // a down button still clicks
  Click(*container, inside);
  EXPECT_EQ(clicks, 2);

  b->SetEnabled(false);
  Click(*container, inside);
  Key(*container, Qt::Key_Space, " ");
  EXPECT_EQ(clicks, 2);
  EXPECT_EQ(downs, 2);
  b->SetEnabled(true);

  // Pressed on the button, released elsewhere: no click.
  Mouse(*container, QEvent::MouseButtonPress, inside);
  Mouse(*container, QEvent::MouseButtonRelease, QPoint(70, 2));
  EXPECT_EQ(clicks, 2);
  // Pressed elsewhere, released on the button: no click either.
  Mouse(*container, QEvent::MouseButtonPress, QPoint(70, 2));
  Mouse(*container, QEvent::MouseButtonRelease, inside);
  EXPECT_EQ(clicks, 2);
  // Right button: no click.
  Mouse(*container, QEvent::MouseButtonPress, inside, Qt::RightButton);
  Mouse(*container, QEvent::MouseButtonRelease, inside, Qt::RightButton);
  EXPECT_EQ(clicks, 2);

  // A double click is one click and one double click.
  Click(*container, inside);
  Mouse(*container, QEvent::MouseButtonDblClick, inside);
  Mouse(*container, QEvent::MouseButtonRelease, inside);
  EXPECT_EQ(clicks, 3);
  EXPECT_EQ(doubles, 1);

  // The keyboard clicks the focused button.
  b->SetFocus();
  Key(*container, Qt::Key_Space, " ");
  EXPECT_EQ(clicks, 4);

  // A hidden button takes no clicks.
  b->SetVisible(false);
  Click(*container, inside);
  EXPECT_EQ(clicks, 4);
}

TEST_F(GlyphButtonTest, ToggleDownInvertsDownAfterTheClickHandler) {
  TDIBGlyphButton* b = Button(5, 10);
  b->SetToggleDown(true);
  std::vector<bool> seen;
  b->OnClick = [&](TObject*) { seen.push_back(b->Down()); };
  Click(*container, Centre(b));
  EXPECT_TRUE(b->Down());
  Click(*container, Centre(b));
  EXPECT_FALSE(b->Down());
  EXPECT_EQ(seen, (std::vector<bool>{false, true}));
}

TEST_F(GlyphButtonTest, DownReleasesTheOtherButtonsOfItsGroupAndOwner) {
  TComponent otherForm(nullptr);
  TDIBGlyphButton* a = Button(5, 0);
  TDIBGlyphButton* b = Button(5, 12);
  TDIBGlyphButton* ungrouped = Button(5, 24);
  TDIBGlyphButton* otherGroup = Button(5, 36);
  TDIBGlyphButton* otherOwner = Button(5, 48, &otherForm);
  a->SetGroup(1);
  b->SetGroup(1);
  otherGroup->SetGroup(2);
  otherOwner->SetGroup(1);
  for (TDIBGlyphButton* x : {a, ungrouped, otherGroup, otherOwner}) x->SetDown(true);

  b->SetDown(true);
  EXPECT_FALSE(a->Down());
  EXPECT_EQ(Shown(a), bsUp);
  for (TDIBGlyphButton* x : {b, ungrouped, otherGroup, otherOwner}) EXPECT_TRUE(x->Down());

  // In group 0 a button is on its own.
  a->SetGroup(0);
  a->SetDown(true);
  EXPECT_TRUE(b->Down());
  EXPECT_TRUE(ungrouped->Down());
  delete otherOwner;
}

TEST_F(GlyphButtonTest, CaptionTakesTheFontAndOffsetOfTheState) {
  TDIBGlyphButton* b = Button(5, 10);
  b->SetCaption("\u2588");  // a full block: it covers the centre of the button
  b->Font.setPixelSize(8);
  b->FontDisabled = b->Font;
  b->FontColor = QColor(0x11, 0x22, 0x33);
  b->FontDisabledColor = QColor(0x44, 0x55, 0x66);
  EXPECT_EQ(PixelAt(*container, Centre(b)), 0xFF112233u);
  b->SetEnabled(false);
  EXPECT_EQ(PixelAt(*container, Centre(b)), 0xFF445566u);
  // The disabled offset moves the caption off the button: the glyph shows again.
  b->CaptionOffsetDisabled = QPoint(40, 0);
  b->Invalidate();
  EXPECT_EQ(Shown(b), bsDisabled);
}

TEST_F(GlyphButtonTest, NoEventsWhileTheLayoutLoads) {
  auto* b = new TDIBGlyphButton(&form);
  b->BeginLoading();
  int resized = 0, clicked = 0;
  b->OnResize = [&](TObject*) { ++resized; };
  b->OnClick = [&](TObject*) { ++clicked; };
  b->SetBounds(10, 4, 3, 3);
  b->SetDIBImageList(list);
  b->SetNumGlyphs(5);
  b->Glyph().SetDIBIndex(3);
  b->SetParent(container);
  b->SetDown(true);
  b->Click();
  EXPECT_EQ(resized, 0);
  EXPECT_EQ(clicked, 0);
  form.LoadedAll();
  EXPECT_FALSE(b->IsLoading());
  EXPECT_EQ(b->BoundsRect(), QRect(10, 4, 10, 8));
  EXPECT_EQ(Shown(b), bsDown);
  b->Click();
  EXPECT_EQ(clicked, 1);
}

TEST_F(GlyphButtonTest, TabMovesTheFocusInTabOrder) {
  TDIBGlyphButton* first = Button(5, 30);
  TDIBGlyphButton* second = Button(5, 10);
  TDIBGlyphButton* none = Button(5, 50);  // no tab stop
  first->SetDIBTabOrder(0);
  second->SetDIBTabOrder(1);
  std::vector<std::string> log;
  for (auto [b, name] : {std::pair{first, "first"}, {second, "second"}, {none, "none"}}) {
    b->OnEnter = [&log, name = std::string(name)](TObject*) { log.push_back("enter " + name); };
    b->OnExit = [&log, name = std::string(name)](TObject*) { log.push_back("exit " + name); };
  }
  first->SetFocus();
  Key(*container, Qt::Key_Tab);
  EXPECT_EQ(log, (std::vector<std::string>{"enter first", "exit first", "enter second"}));
  EXPECT_TRUE(second->Focused());
  int clicks = 0;
  second->OnClick = [&](TObject*) { ++clicks; };
  Key(*container, Qt::Key_Return, "\r");
  EXPECT_EQ(clicks, 1);
  // Past the last tab stop the focus leaves the controls.
  Key(*container, Qt::Key_Tab);
  EXPECT_EQ(log.back(), "exit second");
  EXPECT_EQ(container->ActiveControl(), nullptr);
}

}  // namespace
