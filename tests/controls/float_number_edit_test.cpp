#include "controls/float_number_edit.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QFocusEvent>
#include <QLocale>
#include <cmath>
#include <limits>

#include "platform/ui/ui.h"
#include "tests/controls/dib_test_support.h"

namespace {

// Counts the beeps instead of sounding them, for as long as it lives.
class BeepCounter {
 public:
  BeepCounter() {
    SetBeepHandler([this] { ++Beeps; });
  }
  ~BeepCounter() { SetBeepHandler(nullptr); }
  int Beeps = 0;
};

// Makes `locale` the user's for as long as it lives.
class UserLocale {
 public:
  explicit UserLocale(const QLocale& locale) : FSaved(QLocale()) { QLocale::setDefault(locale); }
  ~UserLocale() { QLocale::setDefault(FSaved); }

 private:
  QLocale FSaved;
};

const QLocale kDot(QLocale::English, QLocale::UnitedStates);
const QLocale kComma(QLocale::German, QLocale::Germany);

TEST(FloatNumberRules, ParseReadsNumbersWithTheGivenSeparatorOnly) {
  const struct {
    const char* text;
    char separator;
    std::optional<double> expected;
  } cases[] = {
      {"-16.00", '.', -16.0},
      {"  -15.9 ", '.', -15.9},
      {"+3", '.', 3.0},
      {".5", '.', 0.5},
      {"5.", '.', 5.0},
      {"1e2", '.', 100.0},
      {"-2,5E-1", ',', -0.25},
      {"-15,90", ',', -15.9},
      {"1.5", ',', std::nullopt},  // the other separator
      {"1,5", '.', std::nullopt},
      {"", '.', std::nullopt},
      {"-", '.', std::nullopt},
      {".", '.', std::nullopt},
      {"abc", '.', std::nullopt},
      {"1.2.3", '.', std::nullopt},
      {"12abc", '.', std::nullopt},
      {"1e", '.', std::nullopt},
      {"nan", '.', std::nullopt},
      {"inf", '.', std::nullopt},
      {"1e999", '.', std::nullopt},  // beyond a double
  };
  for (const auto& c : cases)
    EXPECT_EQ(float_number::Parse(QString::fromUtf8(c.text), QChar(c.separator)), c.expected)
        << '"' << c.text << "\" with '" << c.separator << "'";
}

TEST(FloatNumberRules, ValidKeysAreThoseOfANumberAndControlCharacters) {
  const struct {
    char16_t key;
    bool enabled, valid;
  } cases[] = {
      {'0', true, true},
      {'9', true, true},
      {'+', true, true},
      {'-', true, true},
      {',', true, true},
      {'.', true, false},
      {'a', true, false},
      {'e', true, false},
      {' ', true, false},
      {'\b', true, true},
      {3, true, true},
      {'\t', true, true},
      {'\r', true, false},
      // disabled: control characters only, and neither backspace nor carriage return
      {'5', false, false},
      {',', false, false},
      {3, false, true},
      {'\b', false, false},
      {'\r', false, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(float_number::IsValidChar(QChar(c.key), QChar(','), c.enabled), c.valid)
        << "key " << int(c.key) << (c.enabled ? " enabled" : " disabled");
}

TEST(FloatNumberEdit, ValueIsClampedAndShownWithTwoDecimals) {
  UserLocale locale(kDot);
  const struct {
    double min, max, value;
    const char* shown;
  } cases[] = {
      {-30, -10, -9.95, "-10.00"},   {-30, -10, -35, "-30.00"},
      {-30, -10, -16, "-16.00"},     {-30, -10, -15.9, "-15.90"},
      {-30, -10, -15.904, "-15.90"}, {5, 5, 7, "7.00"},  // equal bounds: no clamping
      {0, 1000, 1000, "1000.00"},    {0, 1000, 1e9, "1000.00"},
  };
  for (const auto& c : cases) {
    TMMFloatNumberEdit edit(nullptr);
    edit.SetMinValue(c.min);
    edit.SetMaxValue(c.max);
    edit.SetValue(c.value);
    EXPECT_EQ(edit.Text(), c.shown) << c.min << ".." << c.max << " := " << c.value;
  }

  TMMFloatNumberEdit edit(nullptr);
  EXPECT_EQ(edit.Text(), "0.00");
  EXPECT_EQ(edit.Value(), 0.0);
  // Not a number: ignored, the value shown stays.
  edit.SetValue(12.5);
  edit.SetValue(std::numeric_limits<double>::quiet_NaN());
  edit.SetValue(std::numeric_limits<double>::infinity());
  EXPECT_EQ(edit.Text(), "12.50");
}

TEST(FloatNumberEdit, ValueReadsTheTextUnclampedOrMinValue) {
  UserLocale locale(kDot);
  TMMFloatNumberEdit edit(nullptr);
  edit.SetMinValue(-30);
  edit.SetMaxValue(-10);
  edit.SetText("-5.25");
  EXPECT_EQ(edit.Value(), -5.25);  // reading does not clamp
  for (const char* text : {"abc", "", "-16,00"}) {
    edit.SetText(text);
    EXPECT_EQ(edit.Value(), -30.0) << '"' << text << '"';
  }
}

TEST(FloatNumberEdit, CommaLocaleShowsAndReadsAComma) {
  UserLocale locale(kComma);
  BeepCounter beeps;
  TMMFloatNumberEdit edit(nullptr);
  edit.SetMinValue(-30);
  edit.SetMaxValue(-10);
  edit.SetValue(-15.9);
  EXPECT_EQ(edit.Text(), "-15,90");
  EXPECT_DOUBLE_EQ(edit.Value(), -15.9);
  EXPECT_TRUE(edit.IsValidChar(QChar(',')));
  EXPECT_FALSE(edit.IsValidChar(QChar('.')));

  // Typed: the comma goes in, the point beeps and is dropped.
  edit.SetText("-12");
  edit.setCursorPosition(3);
  dibtest::Key(edit, Qt::Key_Comma, ",");
  dibtest::Key(edit, Qt::Key_5, "5");
  dibtest::Key(edit, Qt::Key_Period, ".");
  EXPECT_EQ(edit.Text(), "-12,5");
  EXPECT_EQ(beeps.Beeps, 1);
  EXPECT_DOUBLE_EQ(edit.Value(), -12.5);
}

TEST(FloatNumberEdit, RefusedKeysBeepAndLeaveTheText) {
  UserLocale locale(kDot);
  BeepCounter beeps;
  TMMFloatNumberEdit edit(nullptr);
  edit.SetText("12");
  edit.setCursorPosition(2);
  const struct {
    int key;
    const char* text;
    int beeps;
    const char* after;
  } steps[] = {
      {Qt::Key_A, "a", 1, "12"},         {Qt::Key_Space, " ", 2, "12"},
      {Qt::Key_Return, "\r", 3, "12"},   {Qt::Key_3, "3", 3, "123"},
      {Qt::Key_Period, ".", 3, "123."},  {Qt::Key_Backspace, "\b", 3, "123"},
      {Qt::Key_Left, "", 3, "123"},  // moves the cursor before the 3
      {Qt::Key_Delete, "\x7f", 3, "12"}, {Qt::Key_Minus, "-", 3, "12-"},
  };
  for (const auto& s : steps) {
    dibtest::Key(edit, s.key, QString::fromLatin1(s.text));
    EXPECT_EQ(beeps.Beeps, s.beeps) << "after key " << s.key;
    EXPECT_EQ(edit.Text(), s.after) << "after key " << s.key;
  }
}

TEST(FloatNumberEdit, ChangeFiresWhenTheTextChangesButNotWhileLoading) {
  UserLocale locale(kDot);
  TComponent form(nullptr);
  auto* edit = new TMMFloatNumberEdit(&form);
  int changes = 0;
  edit->OnChange = [&](TObject* sender) {
    EXPECT_EQ(sender, edit);
    ++changes;
  };
  edit->SetMinValue(-30);
  edit->SetMaxValue(-10);
  edit->SetValue(-16);
  EXPECT_EQ(changes, 1);
  edit->SetValue(-16.001);  // shows the same text
  edit->SetText("-16.00");
  EXPECT_EQ(changes, 1);
  edit->SetValue(-9);  // clamped to a new text
  EXPECT_EQ(changes, 2);

  edit->BeginLoading();
  edit->SetValue(-20);
  EXPECT_EQ(changes, 2);
  edit->Loaded();
  EXPECT_EQ(edit->Text(), "-20.00");
  edit->SetValue(-21);
  EXPECT_EQ(changes, 3);
}

TEST(FloatNumberEdit, LeavingTheBoxClampsAndReformatsWhatWasTyped) {
  UserLocale locale(kDot);
  TMMFloatNumberEdit edit(nullptr);
  edit.SetMinValue(-30);
  edit.SetMaxValue(-10);
  for (const auto& [typed, shown] :
       {std::pair{"-5", "-10.00"}, {"-12.3", "-12.30"}, {"-", "-30.00"}, {"-99", "-30.00"}}) {
    edit.SetText(typed);
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(&edit, &out);
    EXPECT_EQ(edit.Text(), shown) << '"' << typed << '"';
  }
}

TEST(FloatNumberEdit, EnteringWithTheKeyboardSelectsTheText) {
  TMMFloatNumberEdit edit(nullptr);
  edit.SetText("-16.00");
  edit.setCursorPosition(0);
  QFocusEvent click(QEvent::FocusIn, Qt::MouseFocusReason);
  QApplication::sendEvent(&edit, &click);
  EXPECT_FALSE(edit.hasSelectedText());
  QFocusEvent tab(QEvent::FocusIn, Qt::OtherFocusReason);
  QApplication::sendEvent(&edit, &tab);
  EXPECT_EQ(edit.selectedText(), "-16.00");

  edit.deselect();
  edit.SetAutoSelect(false);
  QApplication::sendEvent(&edit, &tab);
  EXPECT_FALSE(edit.hasSelectedText());
}

TEST(FloatNumberEdit, ReadOnlyRefusesPasteAndCut) {
  QApplication::clipboard()->setText("5");
  TMMFloatNumberEdit edit(nullptr);
  edit.SetText("-16.00");
  edit.setReadOnly(true);
  edit.selectAll();
  dibtest::Key(edit, Qt::Key_V, "\x16", Qt::ControlModifier);
  dibtest::Key(edit, Qt::Key_X, "\x18", Qt::ControlModifier);
  EXPECT_EQ(edit.Text(), "-16.00");
  EXPECT_EQ(QApplication::clipboard()->text(), "5");

  edit.setReadOnly(false);
  edit.selectAll();
  dibtest::Key(edit, Qt::Key_V, "\x16", Qt::ControlModifier);
  EXPECT_EQ(edit.Text(), "5");
}

TEST(FloatNumberEdit, AlignmentPlacesTheText) {
  TMMFloatNumberEdit edit(nullptr);
  EXPECT_EQ(edit.Alignment(), taLeftJustify);
  EXPECT_TRUE(edit.alignment() & Qt::AlignLeft);
  edit.SetAlignment(taRightJustify);
  EXPECT_TRUE(edit.alignment() & Qt::AlignRight);
  edit.SetAlignment(taCenter);
  EXPECT_TRUE(edit.alignment() & Qt::AlignHCenter);
}

}  // namespace
