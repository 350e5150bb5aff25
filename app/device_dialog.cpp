#include "app/device_dialog.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>

#include "app/main_window.h"
#include "controls/dib_image_container.h"
#include "platform/mainloop/main_loop.h"
#include "platform/ui/ui.h"
#include "stream/mm_error.h"
#include "stream/wave_in.h"
#include "stream/wave_out.h"

namespace {

class EConvertError : public EMMError {
 public:
  using EMMError::EMMError;
};

}  // namespace

int32_t StrToInt(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(begin, &end, 10);
  // Leading blanks are allowed, as in the platform's conversion; nothing may follow.
  if (end == begin || *end != '\0' || errno == ERANGE || value < INT32_MIN || value > INT32_MAX ||
      text.empty() || text.find_first_not_of(" \t") == std::string::npos)
    throw EConvertError("'" + text + "' is not a valid integer value");
  return int32_t(value);
}

TfrmDevice::TfrmDevice(TfrmMain* main) : QDialog(main), FMain(main) {
  setAttribute(Qt::WA_DeleteOnClose);
  setModal(false);
  setWindowTitle(QString::fromUtf8("設定"));
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint |
                 Qt::WindowCloseButtonHint | Qt::WindowTitleHint);
  setFixedSize(300, 245);
  // Centred on the screen (a dialog with a parent would otherwise be centred on it); an
  // explicit position keeps Qt from placing it when it is shown.
  if (QScreen* screen = main ? main->screen() : QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  QFont font(QString::fromUtf8(kJapaneseGothic));
  font.setPixelSize(12);
  setFont(font);

  DIBImageContainer1 = new TDIBImageContainer(nullptr, this);
  DIBImageContainer1->setGeometry(0, 0, 300, 245);
  DIBImageContainer1->SetColor(palette().color(QPalette::Window));
  auto label = [this](const char* text, int left, int top) {
    auto* l = new QLabel(text, DIBImageContainer1);
    l->move(left, top);
    l->adjustSize();
    return l;
  };
  auto combo = [this](int left, int top) {
    auto* c = new QComboBox(DIBImageContainer1);
    c->setGeometry(left, top, 233, 20);
    c->setFrame(false);
    return c;
  };
  Label1 = label("Input Device", 28, 16);
  cmbInputDevice = combo(24, 32);
  Label2 = label("OutputDevice", 28, 64);
  cmbOutputDevice = combo(24, 80);
  Label3 = label("Sampling Frequency (Recording)", 24, 128);
  cmbSample = combo(24, 144);
  cmbSample->setEditable(true);
  cmbSample->setInsertPolicy(QComboBox::NoInsert);
  cmbSample->addItems({"44100", "48000"});
  cmbSample->setCurrentIndex(0);
  cmbSample->setEditText("44100");
  btnOK = new QPushButton("OK", DIBImageContainer1);
  btnOK->setGeometry(52, 192, 75, 25);
  btnOK->setDefault(true);
  btnClose = new QPushButton(QString::fromUtf8("キャンセル"), DIBImageContainer1);
  btnClose->setGeometry(152, 192, 75, 25);
  connect(btnOK, &QPushButton::clicked, this, [this] { btnOKClick(); });
  connect(btnClose, &QPushButton::clicked, this, [this] { btnCloseClick(); });
}

TfrmDevice::~TfrmDevice() = default;

void TfrmDevice::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Once, when the dialog appears; not again when the window system restores it.
  if (!event->spontaneous()) FormShow();
}

void TfrmDevice::FormShow() {
  cmbInputDevice->clear();
  cmbOutputDevice->clear();
  for (const std::string& name : FMain->InputNames)
    cmbInputDevice->addItem(QString::fromStdString(name));
  for (const std::string& name : FMain->OutputNames)
    cmbOutputDevice->addItem(QString::fromStdString(name));
  // An index outside the list selects nothing.
  const int in = FMain->WaveIn->GetDeviceID(), out = FMain->WaveOut->GetDeviceID();
  cmbInputDevice->setCurrentIndex(in >= 0 && in < cmbInputDevice->count() ? in : -1);
  cmbOutputDevice->setCurrentIndex(out >= 0 && out < cmbOutputDevice->count() ? out : -1);
  cmbSample->setEditText(QString::number(FMain->Settings.SampleRate));
}

void TfrmDevice::btnOKClick() {
  const int in = cmbInputDevice->currentIndex(), out = cmbOutputDevice->currentIndex();
  // A rate the chosen input cannot record is refused before anything is applied or kept:
  // saved, it would only be recorded at another rate later. The dialog stays open. (Text that
  // is no number is reported below, once the devices are applied.)
  std::optional<int32_t> typed;
  try {
    typed = StrToInt(cmbSample->currentText().toStdString());
  } catch (const EConvertError&) {
  }
  if (typed && in >= 0 && !FMain->WaveIn->CanRecordAt(in, *typed)) {
    ShowMessageBox("The input device \"" + cmbInputDevice->currentText().toStdString() +
                       "\" cannot record at " + std::to_string(*typed) + " Hz.",
                   "Needle Recorder");
    return;
  }
  try {
    FMain->WaveIn->SetDeviceID(in);
    FMain->WaveOut->SetDeviceID(out);
    FMain->ShowDeviceNames();
    const int32_t rate = StrToInt(cmbSample->currentText().toStdString());
    FMain->WaveIn->SetSampleRate(rate);
    FMain->Settings.InputDev = in;
    FMain->Settings.OutputDev = out;
    FMain->Settings.SampleRate = rate;
  } catch (...) {
    // Reported; what was applied stays applied, and the dialog stays open.
    HandleException(std::current_exception());
    return;
  }
  close();
}

void TfrmDevice::btnCloseClick() {
  close();
}
