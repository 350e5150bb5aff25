#include "app/main_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>
#include <cstdio>
#include <exception>
#include <filesystem>

#include "app/device_dialog.h"
#include "controls/dib_glyph_button.h"
#include "controls/dib_image_container.h"
#include "controls/dib_image_list.h"
#include "controls/float_number_edit.h"
#include "controls/slider.h"
#include "controls/spin_button.h"
#include "instruments/bevel.h"
#include "instruments/core/led_readout.h"
#include "instruments/led_digit.h"
#include "instruments/led_panel.h"
#include "instruments/level_bar.h"
#include "instruments/level_scale.h"
#include "instruments/phase_scope.h"
#include "instruments/vu_meter.h"
#include "platform/mainloop/main_loop.h"
#include "platform/ui/ui.h"
#include "resources/skin.h"
#include "stream/connector.h"
#include "stream/hi_timer.h"
#include "stream/play_chain.h"
#include "stream/record_chain.h"
#include "stream/ring_buffer.h"
#include "stream/wave_file.h"
#include "stream/wave_in.h"
#include "stream/wave_out.h"

namespace {

const char* const kCream = "#f2e6c4";
const TColor kLEDCream = RGB(255, 251, 240);
const char* const kWaveFilter = "Wave Files(*.wav)|*.wav";
// The clip marks take the red of the skin's record lamp.
const TColor kClipRed = RGB(255, 64, 58);

// A picture that reports a click with the left button.
class TClickablePicture : public QLabel {
 public:
  TClickablePicture(QWidget* parent, std::function<void()> onClick)
      : QLabel(parent), FOnClick(std::move(onClick)) {}

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton && FOnClick) FOnClick();
  }

 private:
  std::function<void()> FOnClick;
};

// The pictures of the needle meter faces, by index: 0 blue, 1 orange, 2 yellow.
QImage MeterFace(int index) {
  TMemoryDIB face;
  face.SetData(SkinMeterFaces()[size_t(index)].Data);
  // Converted (a copy: the memory picture goes) to the form the meters keep their face in.
  return face.Image().convertToFormat(QImage::Format_RGB32);
}

// Colours a label through its palette (a style sheet would give every label a style of its
// own to polish, which costs the start-up a millisecond); with a background, the label fills
// it.
void ColorLabel(QLabel* label, const QColor& text, const QColor* background = nullptr) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, text);
  if (background) {
    palette.setColor(QPalette::Window, *background);
    label->setAutoFillBackground(true);
  }
  label->setPalette(palette);
}

// The name of a file without its folder.
// The notice line at rest, and when the input is the built-in test signal.
const char* const kNotice = "録音は日付と時刻の名前で保存されます。";
const char* const kTestSignalNotice =
    "No sound device was found: the meters show a built-in test signal.";

std::string BaseName(const std::string& path) {
  return QFileInfo(QString::fromStdString(path)).fileName().toStdString();
}

}  // namespace

TfrmMain::TfrmMain(const std::string& executablePath)
    : QWidget(nullptr), TComponent(nullptr), Settings(executablePath) {
  setWindowTitle("Needle Recorder");
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint |
                 Qt::WindowCloseButtonHint | Qt::WindowTitleHint);
  setFixedSize(700, 450);
  QFont font(QString::fromUtf8(kJapaneseGothic));
  font.setPixelSize(12);
  setFont(font);
  setPalette(QPalette(palette().color(QPalette::Button)));

  // The stored layout: every property is set while the components load, then each one
  // finishes loading, which lets the formats flow down the chains.
  CreateComponents();
  CreateControls();
  LoadedAll();
  FormCreate();
}

TfrmMain::~TfrmMain() {
  if (!FClosed) FormClose();
  if (frmDevice) delete frmDevice;
  // The controls go before the devices (owned components are destroyed first, as TComponent
  // comes after QWidget among the bases): the devices must not call back into the window.
  for (TNotifyEvent* event :
       {&WaveIn->OnStart, &WaveIn->OnStop, &WaveOut->OnStart, &WaveOut->OnStop})
    *event = nullptr;
}

void TfrmMain::CreateComponents() {
  RecordChain = new TMMRecordChain(this);
  PlayChain = new TMMPlayChain(this);
  WaveIn = RecordChain->WaveIn;
  ConnectorIN = RecordChain->Connector;
  RecBuffer = RecordChain->Buffer;
  RecFile = RecordChain->File;
  PlayFile = PlayChain->File;
  PlayBuffer = PlayChain->Buffer;
  WaveOut = PlayChain->WaveOut;
  ConnectorOut = PlayChain->Connector;
  // The timers go first: their handlers read the devices.
  Timer1 = new TMMHiTimer(this);
  PeakTimer = new TMMHiTimer(this);
  for (TComponent* c : Components()) c->BeginLoading();

  for (TMMHiTimer* timer : {Timer1, PeakTimer}) {
    timer->SetEnabled(false);
    timer->SetCallBackMode(cmThread);
  }
  Timer1->SetName("Timer1");
  Timer1->SetInterval(50);
  Timer1->SetOnTimer([this](TObject* s) { Timer1Timer(s); });
  PeakTimer->SetName("PeakTimer");
  PeakTimer->SetInterval(500);
  PeakTimer->SetOnTimer([this](TObject* s) { PeakTimerTimer(s); });

  // Both connectors feed the same instruments (CreateInstruments attaches them).
  TMMConnector::SetEnterIdle(false);
  WaveIn->OnStart = WaveOut->OnStart = [this](TObject* s) { DeviceStart(s); };
  WaveIn->OnStop = WaveOut->OnStop = [this](TObject* s) { DeviceStop(s); };
  // A file that had to be finished early (disk full, size limit, a failed write) ends the
  // recording. Stopped from the main loop: the handler runs while the ring buffer's writer
  // waits for it, and the stop waits for that writer.
  RecFile->OnClose = [this](TObject*) {
    if (RecFile->GetEndReason() == feNone) return;
    QTimer::singleShot(0, this, [this] {
      if (Recording) WaveIn->Stop();
    });
  };
}

QLabel* TfrmMain::AddLabel(const char* text, int left, int top, const char* color) {
  auto* label = new QLabel(QString::fromUtf8(text), DIBImageContainer1);
  label->move(left, top);
  label->setAttribute(Qt::WA_TranslucentBackground);
  if (color) ColorLabel(label, QColor(color));
  label->adjustSize();
  return label;
}

void TfrmMain::CreateControls() {
  ImageList = new TDIBImageList(this);
  for (const TSkinImage& image : SkinImages()) ImageList->Add(image.DisplayName, image.Data);

  DIBImageContainer1 = new TDIBImageContainer(this, this);
  DIBImageContainer1->setGeometry(0, 0, 700, 450);
  DIBImageContainer1->SetDIBImageList(ImageList);
  DIBImageContainer1->IndexImage().SetDIBIndex(0);
  DIBImageContainer1->SetTileMethod(tmCenter);
  DIBImageContainer1->SetColor(Qt::black);

  lblFileName = AddLabel("FileName", 344, 281, kCream);
  lblInput = AddLabel("Input  Device", 63, 283, kCream);
  lblOutput = AddLabel("Output Device", 63, 297, kCream);
  lblSample = AddLabel("Sample", 344, 297, kCream);

  auto button = [this](int left, int top, int image, int glyphs) {
    auto* b = new TDIBGlyphButton(this);
    b->BeginLoading();
    b->SetBounds(left, top, 1, 1);
    b->SetDIBImageList(ImageList);
    if (glyphs) b->SetNumGlyphs(glyphs);
    b->Glyph().SetDIBIndex(image);
    b->SetParent(DIBImageContainer1);
    return b;
  };
  btnRecLED = button(284, 277, 3, 3);
  btnPlayLED = button(284, 290, 2, 3);
  btnMoniLED = button(284, 303, 1, 3);
  for (TDIBGlyphButton* lamp : {btnRecLED, btnPlayLED, btnMoniLED}) lamp->SetVisible(false);
  btnMoni = button(12, 381, 4, 5);
  btnPlay = button(406, 381, 5, 5);
  btnRec = button(550, 381, 6, 5);
  btnStop = button(289, 392, 7, 0);
  btnMoni->OnClick = [this](TObject* s) { btnMoniClick(s); };
  btnPlay->OnClick = [this](TObject* s) { btnPlayClick(s); };
  btnRec->OnClick = [this](TObject* s) { btnRecClick(s); };
  btnStop->OnClick = [this](TObject* s) { btnStopClick(s); };

  Label6 = AddLabel("Needle Recorder", 16, 8, nullptr);
  QFont bold = Label6->font();
  bold.setBold(true);
  Label6->setFont(bold);
  Label6->adjustSize();

  Image1 = new QLabel(DIBImageContainer1);
  TMemoryDIB picture;
  picture.SetData(SkinPicture());
  Image1->setPixmap(QPixmap::fromImage(picture.Image().copy()));  // a copy: the picture goes
  Image1->setGeometry(185, 374, 67, 64);

  MMLabel1 = new QLabel(QString::fromUtf8(kNotice), DIBImageContainer1);
  MMLabel1->setGeometry(5, 331, 439, 17);
  const QColor white(Qt::white);
  ColorLabel(MMLabel1, Qt::black, &white);

  Label7 = AddLabel("  1  ", 492, 318, nullptr);
  Label8 = AddLabel("  2  ", 500, 302, nullptr);
  Label9 = AddLabel("  3  ", 496, 278, nullptr);
  for (QLabel* l : {Label7, Label8, Label9}) l->hide();

  btnSetting = new QPushButton("Setting", DIBImageContainer1);
  btnSetting->setGeometry(536, 213, 121, 25);
  QObject::connect(btnSetting, &QPushButton::clicked, this, [this] { btnSettingClick(); });

  CreateInstruments();
}

void TfrmMain::CreateInstruments() {
  // The instruments are children of the background; the connectors, which go first at the
  // end, hand them data until then.
  auto meter = [this](int left, TMMChannel channel) {
    auto* m = new TMMMeter(nullptr, DIBImageContainer1);
    m->Bevel()->SetBevelOuter(bvNone);
    m->SetBounds(left, 41, 190, 110);
    m->Law().SetChannel(channel);
    m->Law().SetMode(mStereo);
    m->Law().SetBitLength(b16Bit);
    m->SetMeterMode(mmVU);
    m->SetRefLevel(-16.0);
    m->SetShowRefLevel(true);
    m->Law().SetSamples(1000);
    m->Law().SetDecayMode(dmExponential);
    m->Law().SetDecay(7);
    m->SetShowPeak(false);
    m->SetCaption("VU");
    TGdiFont font;
    font.Bold = true;
    font.Color = clBlack;
    m->SetFont(font);
    m->SetTopSpace(20);
    m->SetScale1Color(clNavy);
    m->SetScale3Color(clMaroon);
    m->SetNeedleColor(clBlack);
    return m;
  };
  MMMeter1 = meter(53, chLeft);
  MMMeter2 = meter(286, chRight);

  auto bar = [this](int top, TMMChannel channel, TColor color) {
    auto* b = new TMMLevel(nullptr, DIBImageContainer1);
    b->Bevel()->SetBevelOuter(bvNone);
    b->SetBounds(72, top, 200, 8);
    b->SetChannel(channel);
    b->SetMode(mStereo);
    b->SetBitLength(b16Bit);
    b->SetSpotWidth(2);
    b->SetBarColor(1, color);
    b->SetBarColor(2, color);
    b->SetInactiveColor(1, clSilver);
    b->SetInactiveColor(2, clSilver);
    b->SetInactiveColor(3, clRed);
    b->SetInactiveDoted(true);
    b->SetDecayMode(dmStepUp);
    b->SetDecay(8);
    b->SetClipColor(kClipRed);
    return b;
  };
  MMLevel1 = bar(241, chLeft, RGB(255, 251, 240));
  MMLevel2 = bar(262, chRight, clWhite);
  Label1 = AddLabel("L", 56, 240, "white");
  Label2 = AddLabel("R", 56, 260, "white");
  for (QLabel* l : {Label1, Label2}) {
    QFont bold = l->font();
    bold.setBold(true);
    l->setFont(bold);
    l->adjustSize();
  }

  MMLevelScale1 = new TMMLevelScale(nullptr, DIBImageContainer1);
  MMLevelScale1->SetFont(TGdiFont{"Small Fonts", 8});
  MMLevelScale1->Scale()->SetTickCount(11);
  MMLevelScale1->Scale()->SetEnlargeEvery(5);
  MMLevelScale1->Scale()->SetSize(7);
  MMLevelScale1->Scale()->SetOrigin(soInner);
  MMLevelScale1->Scale()->SetConnect(false);
  MMLevelScale1->SetBounds(73, 252, MMLevelScale1->width(), MMLevelScale1->height());

  MMSpectrum1 = new TMMSpectrum(nullptr, DIBImageContainer1);
  MMSpectrum1->SetBounds(540, 37, 113, 113);
  MMSpectrum1->SetColor(clTeal);
  MMSpectrum1->SetSpectrumMode(smPhase);
  MMSpectrum1->SetPhaseMode(pmStereo);
  MMSpectrum1->SetFFTLength(1024);
  MMSpectrum1->SetSampleRate(44100);
  MMSpectrum1->SetMode(mStereo);
  MMSpectrum1->SetBitLength(b16Bit);
  MMSpectrum1->SetRangeFactorX(1.5);
  MMSpectrum1->SetRangeFactorY(1.5);
  MMSpectrum1->SetAxisColor(RGB(192, 220, 192));
  MMSpectrum1->SetShowInfo(false);

  for (TMMConnector* c : {ConnectorIN, ConnectorOut}) {
    c->SetLevel1(MMLevel1);
    c->SetLevel2(MMLevel2);
    c->SetMeter1(MMMeter1);
    c->SetMeter2(MMMeter2);
    c->SetSpectrum1(MMSpectrum1);
  }

  // The read-outs: cream digits without their dark segments, on black.
  auto panel = [this](int left, int top, int digits, TMMLEDSize size, int maxValue) {
    // Set up in the loading state, so that the digits recolour their glyph strip once, when
    // the settings are complete, not once a setting.
    auto* p = new TMMLEDPanel(nullptr, DIBImageContainer1);
    p->BeginLoading();
    p->Bevel()->SetBevelOuter(bvNone);
    p->SetColor(clBlack);
    p->SetNumDigits(digits);
    p->SetDigitSize(size);
    p->SetMinValue(0);
    p->SetMaxValue(maxValue);
    p->SetLEDColor(kLEDCream);
    p->SetInactiveColor(kLEDCream);
    p->SetDrawInactive(false);
    p->Loaded();
    p->SetBounds(left, top, 1, 1);
    return p;
  };
  auto sign = [this](int left, int top, TMMLEDType type) {
    auto* d = new TMMLEDDigit(nullptr, DIBImageContainer1);
    d->BeginLoading();
    d->SetDisplayType(type);
    d->SetColor(clBlack);
    d->SetInactiveColor(clBlack);
    d->SetLEDColor(clWhite);
    d->Loaded();
    d->SetBounds(left, top, 1, 1);
    return d;
  };
  LEDHour = panel(345, 248, 1, ls13x21, 9);
  MMLEDDigit1 = sign(359, 248, ltColon);
  LEDMin = panel(372, 248, 2, ls13x21, 59);
  MMLEDDigit2 = sign(397, 248, ltColon);
  LEDSec = panel(410, 248, 2, ls13x21, 59);
  MMLEDDigit3 = sign(437, 248, ltPeriod);
  LEDMSec = panel(448, 256, 3, ls08x13, 999);
  MMLEDDigit4 = new TMMLEDDigit(nullptr, DIBImageContainer1);
  MMLEDDigit4->BeginLoading();
  MMLEDDigit4->SetDisplayType(ltMinus);
  MMLEDDigit4->SetDigitSize(ls15x24);
  MMLEDDigit4->SetColor(clBlack);
  MMLEDDigit4->SetLEDColor(kLEDCream);
  MMLEDDigit4->SetDrawInactive(false);
  MMLEDDigit4->Loaded();
  MMLEDDigit4->SetBounds(277, 245, 1, 1);
  LEDPeak = panel(291, 245, 2, ls15x24, 100);

  CreateReferenceControls();

  for (int i = 0; i < 3; ++i) {
    auto* picture = new TClickablePicture(DIBImageContainer1, [this, i] { MeterFaceClick(i); });
    // The face's 12 x 12 corner shows; a click gives the meters the whole face.
    MeterFaces[i] = MeterFace(i);
    picture->setPixmap(QPixmap::fromImage(MeterFaces[i].copy(0, 0, 12, 12)));
    picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    picture->setGeometry(454 + 15 * i, 3, 12, 12);
    picture->setCursor(Qt::PointingHandCursor);
    MeterFacePct[i] = picture;
  }
}

void TfrmMain::CreateReferenceControls() {
  auto edit = [this](int top, TNotifyEvent onChange) {
    auto* e = new TMMFloatNumberEdit(nullptr, DIBImageContainer1);
    e->setGeometry(528, top, 50, 18);
    e->setReadOnly(true);
    e->setFrame(false);
    e->SetMinValue(-30.0);
    e->SetMaxValue(-10.0);
    e->SetValue(-16.0);
    e->OnChange = std::move(onChange);
    return e;
  };
  auto spin = [this](int top, TMMFloatNumberEdit* focus, TNotifyEvent up, TNotifyEvent down) {
    auto* s = new TSpinButton(nullptr, DIBImageContainer1);
    s->setGeometry(579, top, 20, 17);
    s->SetFocusControl(focus);
    s->OnUpClick = std::move(up);
    s->OnDownClick = std::move(down);
    return s;
  };
  Label4 = AddLabel("Meter Ref Level (Lch)", 528, 245, "black");
  editLRef = edit(260, [this](TObject* s) { editLRefChange(s); });
  SpinL = spin(
      261, editLRef, [this](TObject* s) { SpinLUpClick(s); },
      [this](TObject* s) { SpinLDownClick(s); });
  Label5 = AddLabel("Meter Ref Level (Rch)", 528, 281, "black");
  editRRef = edit(297, [this](TObject* s) { editRRefChange(s); });
  SpinR = spin(
      298, editRRef, [this](TObject* s) { SpinRUpClick(s); },
      [this](TObject* s) { SpinRDownClick(s); });
  cbBoth = new QCheckBox(DIBImageContainer1);
  cbBoth->setGeometry(532, 320, 13, 13);
  cbBoth->setChecked(true);
  Label3 = AddLabel("Both", 552, 320, "black");

  MMSlider1 = new TMMSlider(nullptr, DIBImageContainer1);
  MMSlider1->setGeometry(592, 312, 105, 21);
  MMSlider1->SetMaxValue(20);
  MMSlider1->SetPageSize(1);
  MMSlider1->OnChange = [this](TObject* s) { MMSlider1Change(s); };
  MMSlider1->hide();
}

void TfrmMain::RefChange(TMMFloatNumberEdit* edit, TMMMeter* meter, double& setting) {
  // Rewriting the text comes back here once more and finds it unchanged.
  edit->SetText(QLocale().toString(edit->Value(), 'f', 1).toStdString());
  meter->SetRefLevel(edit->Value());
  setting = edit->Value();
}

void TfrmMain::editLRefChange(TObject*) {
  RefChange(editLRef, MMMeter1, Settings.LRefLevel);
}

void TfrmMain::editRRefChange(TObject*) {
  RefChange(editRRef, MMMeter2, Settings.RRefLevel);
}

void TfrmMain::SpinClick(TMMFloatNumberEdit* clicked, TMMFloatNumberEdit* other, double step) {
  if (!cbBoth->isChecked()) {
    clicked->SetValue(clicked->Value() + step);
    return;
  }
  // Both channels go to the clicked channel's level and step together; going down, the other
  // edit steps first, as going up the clicked one does.
  other->SetValue(clicked->Value());
  TMMFloatNumberEdit* first = step > 0 ? clicked : other;
  TMMFloatNumberEdit* second = step > 0 ? other : clicked;
  first->SetValue(first->Value() + step);
  second->SetValue(second->Value() + step);
}

void TfrmMain::SpinLUpClick(TObject*) {
  SpinClick(editLRef, editRRef, 0.1);
}

void TfrmMain::SpinLDownClick(TObject*) {
  SpinClick(editLRef, editRRef, -0.1);
}

void TfrmMain::SpinRUpClick(TObject*) {
  SpinClick(editRRef, editLRef, 0.1);
}

void TfrmMain::SpinRDownClick(TObject*) {
  SpinClick(editRRef, editLRef, -0.1);
}

void TfrmMain::MMSlider1Change(TObject*) {
  const double zoom = MMSlider1->Position() * 0.1 + 1.0;
  MMSpectrum1->SetRangeFactorX(zoom);
  MMSpectrum1->SetRangeFactorY(zoom);
  Settings.ScaleFactor = MMSlider1->Position();
}

void TfrmMain::Timer1Timer(TObject*) {
  const int64_t position = Playing ? WaveOut->GetPosition() : WaveIn->GetPosition();
  const TTimeReadout t = SplitPosition(int32_t(position));
  LEDHour->SetValue(t.Hours);
  LEDMin->SetValue(t.Minutes);
  LEDSec->SetValue(t.Seconds);
  LEDMSec->SetValue(t.Milliseconds);
}

void TfrmMain::PeakTimerTimer(TObject*) {
  if (const auto db = PeakReadout(MMLevel1->GetPeakPercent(), MMLevel2->GetPeakPercent())) {
    LEDPeak->SetValue(*db);
    LEDPeak->SetDashes(false);
  }
  ShowClips(Playing ? ConnectorOut : ConnectorIN);
}

void TfrmMain::ShowClips(TMMConnector* Connector) {
  TMMLevel* bars[2] = {MMLevel1, MMLevel2};
  for (int side = 0; side < 2; ++side) {
    // A click put a mark out; only samples that clipped after it light it again.
    const int64_t clipped = Connector->Clips().Clipped(side);
    if (clipped <= FClipsShown[side]) continue;
    FClipsShown[side] = clipped;
    bars[side]->SetClipped(true);
  }
}

void TfrmMain::MeterFaceClick(int index) {
  MMMeter1->SetBackGroundDIB(MeterFaces[index]);
  MMMeter2->SetBackGroundDIB(MeterFaces[index]);
}

// ------------------------------------------------------------------ start and end

void TfrmMain::FormCreate() {
  Playing = false;
  for (TDIBGlyphButton* lamp : {btnRecLED, btnPlayLED, btnMoniLED}) lamp->SetEnabled(false);
  lblFileName->setText("No File");
  lblFileName->adjustSize();
  Settings.LoadSettings();
  if (Settings.SampleRate != 44100 && Settings.SampleRate != 48000) Settings.SampleRate = 44100;
  if (Settings.LRefLevel < -30 || Settings.LRefLevel > -10) Settings.LRefLevel = -16.0;
  if (Settings.RRefLevel < -30 || Settings.RRefLevel > -10) Settings.RRefLevel = -16.0;
  WaveIn->SetSampleRate(Settings.SampleRate);
  editLRef->SetValue(Settings.LRefLevel);
  editRRef->SetValue(Settings.RRefLevel);
  MMSlider1->SetPosition(Settings.ScaleFactor);
  FillInputNames(InputNames);
  FillOutputNames(OutputNames);
  if (Settings.InputDev >= int32_t(InputNames.size())) Settings.InputDev = 0;
  WaveIn->SetDeviceID(Settings.InputDev);
  if (Settings.OutputDev >= int32_t(OutputNames.size())) Settings.OutputDev = 0;
  WaveOut->SetDeviceID(Settings.OutputDev);
  ShowDeviceNames();
  // The instruments reach the screen once a frame: the connectors need not hand them data
  // more often.
  const QScreen* screen = this->screen();
  const double rate = screen ? screen->refreshRate() : 60.0;
  TMMConnector::SetRefreshInterval(rate >= 1.0 ? int(1000.0 / rate) : 16);
  MeterFaceClick(0);
  // Nothing has been measured yet.
  LEDPeak->SetDashes(true);
}

void TfrmMain::ShowDeviceNames() {
  lblInput->setText(QString::fromStdString("IN  : " + WaveIn->GetProductName()));
  lblInput->adjustSize();
  lblOutput->setText(QString::fromStdString("OUT : " + WaveOut->GetProductName()));
  lblOutput->adjustSize();
  // A test signal is never taken for the microphone: said where the eye goes.
  const int64_t input = WaveIn->GetDeviceID();
  if (input >= 0 && waveIsTestDevice(true, uint32_t(input)))
    SetNotice(kTestSignalNotice);
  else if (MMLabel1->text() == QString::fromUtf8(kTestSignalNotice))
    SetNotice(kNotice);
}

void TfrmMain::SetNotice(const std::string& text) {
  MMLabel1->setText(QString::fromStdString(text));
  MMLabel1->setToolTip(MMLabel1->text());
}

void TfrmMain::FormClose() {
  if (FClosed) return;
  FClosed = true;
  if (frmDevice) frmDevice->close();
  WaveIn->Close();
  WaveOut->Close();
  InputNames.clear();
  OutputNames.clear();
  try {
    Settings.SaveSettings();
  } catch (...) {
    HandleException(std::current_exception());
  }
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  FormClose();
  event->accept();
}

// ------------------------------------------------------------------ transport

template <typename TDevice>
void TfrmMain::StartDevice(TDevice* device) {
  try {
    device->Start();
  } catch (...) {
    // A device that fails before it runs fires no OnStop; the window goes back to Idle here,
    // before the error is shown.
    if (Playing || Recording || Monitoring) DeviceStop(device);
    HandleException(std::current_exception());
  }
}

void TfrmMain::btnMoniClick(TObject*) {
  if (btnMoni->Down()) return;
  btnMoniLED->SetEnabled(true);
  btnMoni->SetDown(true);
  btnPlay->SetEnabled(false);
  btnRec->SetEnabled(false);
  for (TMMLEDPanel* p : {LEDHour, LEDMin, LEDSec, LEDMSec}) p->SetValue(0);
  Monitoring = true;
  FOfferLastTake = false;
  RecordChain->PrepareRun("");
  StartDevice(WaveIn);
}

std::string TfrmMain::DatedFileName() {
  return QDateTime::currentDateTime().toString("yyyyMMddHHmmss").toStdString() + ".wav";
}

std::string TfrmMain::TakeFolder() const {
  namespace fs = std::filesystem;
  std::error_code error;
  if (!FLastTake.empty()) {
    const fs::path folder = fs::path(FLastTake).parent_path();
    if (fs::is_directory(folder, error)) return folder.string();
  }
  const std::string music =
      QStandardPaths::writableLocation(QStandardPaths::MusicLocation).toStdString();
  if (!music.empty() && fs::is_directory(music, error)) return music;
  return QDir::homePath().toStdString();
}

void TfrmMain::btnRecClick(TObject*) {
  namespace fs = std::filesystem;
  if (btnRec->Down() || Playing || Monitoring) return;
  auto name = Dialogs().SaveFile(this, "Waveファイルを保存", kWaveFilter,
                                 (fs::path(TakeFolder()) / DatedFileName()).string());
  if (!name || FClosed) return;  // cancelled, or the window closed meanwhile
  // A name typed without an extension gets the one of the files the dialog shows.
  if (fs::path(*name).extension().empty()) *name += ".wav";
  // A take is replaced only when the user says so, and only once the new one is complete.
  std::error_code error;
  if (fs::exists(fs::symlink_status(*name, error)) &&
      (!Dialogs().Confirm(this, BaseName(*name) + " already exists.\nDo you want to replace it?",
                          kApplicationTitle) ||
       FClosed))
    return;
  btnRecLED->SetEnabled(true);
  try {
    RecordChain->PrepareRun(*name);
  } catch (...) {
    btnRecLED->SetEnabled(false);
    HandleException(std::current_exception());
    return;
  }
  btnRec->SetDown(true);
  Recording = true;
  btnMoni->SetEnabled(false);
  btnPlay->SetEnabled(false);
  SpinR->SetEnabled(false);
  SpinL->SetEnabled(false);
  lblFileName->setText(QString::fromStdString(BaseName(*name)));
  lblFileName->adjustSize();
  FLastTake = *name;
  FOfferLastTake = false;
  lblSample->setText(QString::number(WaveIn->GetSampleRate()) + "Hz");
  lblSample->adjustSize();
  StartDevice(WaveIn);
}

void TfrmMain::btnPlayClick(TObject*) {
  if (btnPlay->Down()) return;
  if (PlayFile->GetFileName().empty()) {
    // Right after a recording, the take is offered.
    const std::string offered = FOfferLastTake ? FLastTake : "";
    const auto name = Dialogs().OpenFile(this, "Waveファイルを開く", kWaveFilter, offered);
    if (!name || FClosed) return;  // cancelled, or the window closed meanwhile
    FOfferLastTake = false;
    try {
      PlayChain->PrepareRun(*name);
    } catch (...) {
      // A file that cannot be read is reported; the window stays as it was.
      HandleException(std::current_exception());
      return;
    }
    lblFileName->setText(QString::fromStdString(BaseName(*name)));
    lblFileName->adjustSize();
  }
  Playing = true;
  btnRec->SetEnabled(false);
  btnMoni->SetEnabled(false);
  SpinR->SetEnabled(false);
  SpinL->SetEnabled(false);
  btnPlayLED->SetEnabled(true);
  btnPlay->SetDown(true);
  lblSample->setText(QString::number(PlayFile->GetWave()->GetSampleRate()) + "Hz");
  lblSample->adjustSize();
  StartDevice(WaveOut);
}

void TfrmMain::btnStopClick(TObject*) {
  WaveIn->Stop();
  WaveOut->Stop();
  if (!RecBuffer->GetEnabled()) RecBuffer->SetEnabled(true);
}

void TfrmMain::DeviceStart(TObject*) {
  // A new run: the marks of the last one go out (its connector has begun counting afresh).
  for (TMMLevel* bar : {MMLevel1, MMLevel2}) bar->SetClipped(false);
  FClipsShown[0] = FClipsShown[1] = 0;
  // The time runs for recording and playing, not for monitoring; the peak always.
  if (RecBuffer->GetEnabled()) Timer1->SetEnabled(true);
  PeakTimer->SetEnabled(true);
  btnSetting->setEnabled(false);
}

std::string TfrmMain::RecordingReport() {
  std::string report =
      FileEndText(RecFile->GetEndReason(), RecFile->GetWrittenMs(), RecFile->GetEndError());
  if (const TMMWaveIn::TOverruns overruns = WaveIn->Overruns(); overruns.Frames > 0) {
    char lost[160];
    std::snprintf(lost, sizeof lost,
                  "%.1f s of audio were lost in %lld dropouts: the sound device dropped audio "
                  "that was not read in time.",
                  double(overruns.Frames) / WaveIn->GetSampleRate(),
                  static_cast<long long>(overruns.Dropouts));
    if (!report.empty()) report += '\n';
    report += lost;
  }
  if (RecordChain->LostFrames() > 0) {
    char lost[160];
    std::snprintf(lost, sizeof lost,
                  "%.1f s of audio were lost in %lld dropouts: the disk did not keep up with the "
                  "recording.",
                  RecordChain->LostSeconds(), static_cast<long long>(RecBuffer->Dropouts()));
    if (!report.empty()) report += '\n';
    report += lost;
  }
  if (const std::string elsewhere = RecFile->GetSavedElsewhereText(); !elsewhere.empty()) {
    if (!report.empty()) report += '\n';
    report += elsewhere;
  }
  return report;
}

std::string TfrmMain::SavedNotice(const std::string& report) const {
  namespace fs = std::filesystem;
  std::string notice;
  if (RecFile->GetEndReason() == feFileDeleted) {
    notice = "Not saved: " + FLastTake + " was deleted while recording";
  } else {
    const int64_t ms = RecFile->GetWrittenMs();
    std::error_code error;
    const uintmax_t bytes = fs::file_size(FLastTake, error);
    char figures[64];
    std::snprintf(figures, sizeof figures, " (%lld:%02lld:%02lld, %.1f MB)",
                  static_cast<long long>(ms / 3600000), static_cast<long long>(ms / 60000 % 60),
                  static_cast<long long>(ms / 1000 % 60),
                  double(error ? RecFile->GetWrittenBytes() : int64_t(bytes)) / 1e6);
    notice = "Saved " + FLastTake + figures;
  }
  // What went wrong, in its first words; the message box has it all.
  if (!report.empty()) notice += ". " + report.substr(0, report.find('\n'));
  return notice;
}

void TfrmMain::ShowReportLater(const std::string& text) {
  if (text.empty()) return;
  const auto report = [this, text] {
    if (FClosed)
      std::fprintf(stderr, "needlerec: %s\n", text.c_str());
    else
      ShowMessageBox(text, "Needle Recorder");
  };
  if (FClosed)
    report();
  else
    QTimer::singleShot(0, this, report);
}

void TfrmMain::DeviceStop(TObject*) {
  Timer1->SetEnabled(false);
  PeakTimer->SetEnabled(false);
  const bool recorded = Recording;
  const bool played = Playing;
  Playing = Recording = Monitoring = false;
  // Samples that clipped after the last look of the peak timer light their marks too.
  ShowClips(played ? ConnectorOut : ConnectorIN);
  for (TDIBGlyphButton* lamp : {btnPlayLED, btnRecLED, btnMoniLED}) lamp->SetEnabled(false);
  for (TDIBGlyphButton* b : {btnMoni, btnPlay, btnRec}) {
    b->SetDown(false);
    b->SetEnabled(true);
  }
  SpinR->SetEnabled(true);
  SpinL->SetEnabled(true);
  btnSetting->setEnabled(true);
  LEDPeak->SetValue(0);
  LEDPeak->SetDashes(true);
  PlayFile->SetFileName("");
  WaveIn->Close();
  // A sound device that ran dry while playing played silence of its own: told, like a
  // recording's lost audio.
  const int64_t underruns = played ? WaveOut->Underruns() : 0;
  WaveOut->Close();
  // The file is finished now: where it went is shown, and what went wrong told.
  if (recorded) {
    const std::string report = RecordingReport();
    SetNotice(SavedNotice(report));
    FOfferLastTake = true;
    ShowReportLater(report);
  }
  if (played) ShowReportLater(UnderrunText(underruns));
}

void TfrmMain::btnSettingClick() {
  if (frmDevice) {
    frmDevice->raise();
    return;
  }
  frmDevice = new TfrmDevice(this);
  frmDevice->show();
}
