// The real window on the virtual sound devices, driven headless: clicks on the skinned
// buttons, scripted answers to the file dialogs and message boxes, the settings file, the
// settings dialog, the rendered window and the end of the program on a termination signal.
#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <regex>
#include <thread>

#include "app/device_dialog.h"
#include "controls/dib_glyph_button.h"
#include "controls/dib_image_container.h"
#include "controls/dib_image_list.h"
#include "controls/float_number_edit.h"
#include "controls/slider.h"
#include "controls/spin_button.h"
#include "instruments/core/meter_law.h"
#include "instruments/led_panel.h"
#include "instruments/level_bar.h"
#include "instruments/phase_scope.h"
#include "instruments/vu_meter.h"
#include "platform/mainloop/main_loop.h"
#include "platform/ui/ui.h"
#include "platform/wave/fake_driver.h"
#include "platform/wave/system_driver.h"
#include "platform/wave/wave_api.h"
#include "resources/skin.h"
#include "stream/ring_buffer.h"
#include "stream/wave_file.h"
#include "stream/wave_in.h"
#include "stream/wave_out.h"
#include "tests/support/files.h"

namespace {

namespace fs = std::filesystem;

using testfiles::Le32;
using testfiles::ReadFile;

// Answers the file dialogs from a script and records the message boxes.
class TScriptedDialogs : public TDialogs {
 public:
  std::optional<std::string> OpenFile(QWidget*, const std::string& title, const std::string&,
                                      const std::string& selected) override {
    Asked.push_back("open:" + title);
    Selected = selected;
    return Next();
  }
  std::optional<std::string> SaveFile(QWidget*, const std::string& title, const std::string&,
                                      const std::string& suggested) override {
    Asked.push_back("save:" + title);
    Suggested = suggested;
    return Next();
  }
  void MessageBox(QWidget*, const std::string& text, const std::string&) override {
    Messages.push_back(text);
  }
  bool Confirm(QWidget*, const std::string& text, const std::string&) override {
    Questions.push_back(text);
    return Replace;
  }
  std::optional<std::string> Next() {
    if (Answers.empty()) return std::nullopt;
    auto answer = Answers.front();
    Answers.pop_front();
    return answer;
  }
  std::deque<std::optional<std::string>> Answers;
  std::vector<std::string> Asked;
  std::vector<std::string> Messages;
  std::vector<std::string> Questions;
  bool Replace = false;  // the answer to every question
  std::string Suggested;
  std::string Selected;  // what the last open dialog showed chosen
};

// A system without wave input devices: the fake driver with one output and no input.
class TNoInputDriver : public TFakeWaveDriver {
 public:
  TNoInputDriver() : TFakeWaveDriver(1, 0) {}
};

// Runs Qt's event loop and the main loop until `done` or the time limit.
bool Pump(const std::function<bool()>& done, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    QApplication::processEvents(QEventLoop::AllEvents, 5);
    ProcessMessages();
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return done();
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/needlerec-app-XXXXXX";
    dir_ = mkdtemp(pattern);
    // The virtual devices only: whatever sound the machine has stays out of the tests.
    setenv("NEEDLEREC_ALSA_DEVICES", "", 1);
    setenv("NEEDLEREC_VIRTUAL_SPEED", "1", 1);
    // The window's settings file: the per-user place, in the test's folder.
    setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    SetWaveDriver(nullptr);
    RescanWaveDevices();
    InitWindowSystem();
    dialogs_ = std::make_shared<TScriptedDialogs>();
    SetDialogs(dialogs_);
  }
  void TearDown() override {
    window_.reset();
    SetDialogs(nullptr);
    ASSERT_TRUE(Pump([] { return LiveThreadCount() == 0; }));
    ReapFinishedThreads();
    unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(dir_);
  }
  TfrmMain& Open() {
    window_ = std::make_unique<TfrmMain>((dir_ / "needlerec").string());
    window_->show();
    return *window_;
  }
  fs::path Ini() const { return dir_ / "config" / "needlerec" / "needlerec.ini"; }
  void WriteSettings(const std::string& text) {
    fs::create_directories(Ini().parent_path());
    std::ofstream(Ini()) << text;
  }
  // A left click in the middle of a skinned button, as the mouse gives it.
  void Click(TDIBGlyphButton* button) {
    QWidget* container = window_->DIBImageContainer1;
    const QPointF at = button->BoundsRect().center();
    QMouseEvent press(QEvent::MouseButtonPress, at, container->mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(container, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, container->mapToGlobal(at), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(container, &release);
    Pump([] { return false; }, 20);
  }
  bool Idle() {
    TfrmMain& w = *window_;
    return !w.Playing && !w.Recording && !w.Monitoring && !w.btnMoni->Down() &&
           !w.btnPlay->Down() && !w.btnRec->Down() && w.btnMoni->Enabled() &&
           w.btnPlay->Enabled() && w.btnRec->Enabled() && w.btnSetting->isEnabled();
  }
  // A 44.1 kHz 16-bit stereo file; its samples from `sample` (frame, channel), else a byte
  // pattern.
  fs::path WriteWave(const std::string& name, double seconds,
                     const std::function<int16_t(size_t, int)>& sample = nullptr) {
    std::string data(size_t(seconds * 44100) * 4, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 3);
    if (sample)
      for (size_t i = 0; i < data.size() / 2; ++i) {
        const auto v = uint16_t(sample(i / 2, int(i % 2)));
        data[2 * i] = char(v & 0xFF);
        data[2 * i + 1] = char(v >> 8);
      }
    std::ofstream(dir_ / name, std::ios::binary) << testfiles::Wave16Stereo(data);
    return dir_ / name;
  }

  fs::path dir_;
  std::shared_ptr<TScriptedDialogs> dialogs_;
  std::unique_ptr<TfrmMain> window_;
};

// ------------------------------------------------------------------ transport

TEST_F(MainWindowTest, MonitorStopRecordStop) {
  TfrmMain& w = Open();
  EXPECT_TRUE(Idle());
  EXPECT_EQ(w.lblFileName->text().toStdString(), "No File");
  EXPECT_EQ(w.lblInput->text().toStdString(), "IN  : Virtual input (test signal)");
  EXPECT_EQ(w.lblOutput->text().toStdString(), "OUT : Virtual output (test device)");

  Click(w.btnMoni);
  EXPECT_TRUE(w.Monitoring);
  EXPECT_TRUE(w.btnMoni->Down());
  EXPECT_FALSE(w.btnPlay->Enabled());
  EXPECT_FALSE(w.btnRec->Enabled());
  EXPECT_FALSE(w.RecBuffer->GetEnabled());
  EXPECT_TRUE(w.WaveIn->DeviceState() & dsStarted);
  EXPECT_TRUE(Pump([&] { return !w.btnSetting->isEnabled(); })) << "DeviceStart ran";
  Click(w.btnMoni);  // its own button while down: nothing
  EXPECT_TRUE(w.Monitoring);
  w.btnRecClick(w.btnRec);  // refused while monitoring, even when called directly
  EXPECT_TRUE(dialogs_->Asked.empty());
  EXPECT_TRUE(w.Monitoring);

  Click(w.btnStop);
  EXPECT_TRUE(Pump([&] { return Idle(); }));
  EXPECT_TRUE(w.RecBuffer->GetEnabled()) << "enabled again by the stop";
  EXPECT_EQ(w.WaveIn->DeviceState(), unsigned(dsClosed));

  const std::string file = (dir_ / "take.wav").string();
  dialogs_->Answers.push_back(file);
  Click(w.btnRec);
  ASSERT_EQ(dialogs_->Asked, (std::vector<std::string>{"save:Waveファイルを保存"}));
  EXPECT_TRUE(w.Recording);
  EXPECT_TRUE(w.btnRec->Down());
  EXPECT_FALSE(w.btnMoni->Enabled());
  EXPECT_FALSE(w.btnPlay->Enabled());
  EXPECT_TRUE(w.RecBuffer->GetEnabled());
  EXPECT_EQ(w.lblFileName->text().toStdString(), "take.wav");
  EXPECT_EQ(w.lblSample->text().toStdString(), "48000Hz");
  const auto began = std::chrono::steady_clock::now();
  Pump([] { return false; }, 1000);
  Click(w.btnStop);
  const double ran =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  EXPECT_TRUE(Pump([&] { return Idle(); }));
  EXPECT_TRUE(dialogs_->Messages.empty());

  // A finished file, about as long as the run.
  const std::string bytes = ReadFile(file);
  ASSERT_GT(bytes.size(), 80u);
  EXPECT_EQ(Le32(bytes, 4) + 8, bytes.size());
  EXPECT_EQ(Le32(bytes, 60), 48000u);  // behind the form, the room for RF64's sizes, "fmt "
  const double seconds = double(Le32(bytes, 76)) / (48000 * 4);
  EXPECT_GT(seconds, ran - 0.5);
  EXPECT_LT(seconds, ran + 0.5);
}

// A take can be found again: the notice line says where it went, PLAY offers it, the save
// dialog opens in its folder; and it is replaced only when the user says so, once the new take
// is complete.
TEST_F(MainWindowTest, ATakeIsFoundAgainAndReplacedOnlyWhenTheUserSaysSo) {
  TfrmMain& w = Open();
  // On a machine without sound, the meters show the test signal, and the notice says so.
  EXPECT_EQ(w.MMLabel1->text().toStdString(),
            "No sound device was found: the meters show a built-in test signal.");
  const fs::path take = dir_ / "take.wav";
  dialogs_->Answers.push_back((dir_ / "take").string());  // typed without an extension
  Click(w.btnRec);
  ASSERT_TRUE(w.Recording);
  Pump([] { return false; }, 500);
  Click(w.btnStop);
  ASSERT_TRUE(Pump([&] { return Idle(); }));
  const std::string notice = w.MMLabel1->text().toStdString();
  EXPECT_EQ(notice.rfind("Saved " + take.string() + " (", 0), 0u) << notice;
  EXPECT_TRUE(std::regex_search(notice, std::regex(" \\(0:00:0\\d, 0\\.\\d MB\\)$"))) << notice;

  dialogs_->Answers.push_back(std::nullopt);
  Click(w.btnPlay);
  EXPECT_EQ(dialogs_->Selected, take.string()) << "PLAY offers the take just recorded";

  const std::string old = ReadFile(take);
  dialogs_->Answers.push_back(take.string());
  Click(w.btnRec);
  EXPECT_EQ(fs::path(dialogs_->Suggested).parent_path(), dir_) << "where the last take went";
  EXPECT_EQ(dialogs_->Questions,
            (std::vector<std::string>{"take.wav already exists.\nDo you want to replace it?"}));
  EXPECT_TRUE(Idle()) << "No: nothing is recorded";
  EXPECT_EQ(ReadFile(take), old);

  dialogs_->Replace = true;
  dialogs_->Answers.push_back(take.string());
  Click(w.btnRec);
  ASSERT_TRUE(w.Recording);
  Pump([] { return false; }, 1500);
  EXPECT_EQ(ReadFile(take), old) << "the old take stays until the new one is complete";
  Click(w.btnStop);
  ASSERT_TRUE(Pump([&] { return Idle(); }));
  EXPECT_GT(ReadFile(take).size(), old.size());
  EXPECT_TRUE(dialogs_->Messages.empty());
}

TEST_F(MainWindowTest, AFullDiskEndsTheRecordingAndTheWindowSaysWhy) {
  TfrmMain& w = Open();
  const std::string file = (dir_ / "full.wav").string();
  dialogs_->Answers.push_back(file);
  std::atomic<bool> full{false};
  w.RecFile->FreeSpaceQuery = [&](const std::string&) { return full ? int64_t(0) : int64_t(-1); };
  Click(w.btnRec);
  ASSERT_TRUE(w.Recording);
  // Long enough for the writer's first pass, which comes when half the queue is full.
  ASSERT_TRUE(
      Pump([&] { return w.RecBuffer->Count() == 0 && w.WaveIn->BytesRecorded() > 300000; }));
  full = true;
  ASSERT_TRUE(Pump([&] { return Idle() && !dialogs_->Messages.empty(); }))
      << "the recording stopped by itself";
  EXPECT_FALSE(w.btnRecLED->Enabled()) << "the REC lamp is out";
  ASSERT_EQ(dialogs_->Messages.size(), 1u);
  EXPECT_EQ(dialogs_->Messages[0].rfind(
                "The disk is full: the recording was stopped and saved (0:00:0", 0),
            0u)
      << dialogs_->Messages[0];
  const std::string bytes = ReadFile(file);
  ASSERT_GT(bytes.size(), 80u + 4);
  EXPECT_EQ(Le32(bytes, 4) + 8, bytes.size());
}

TEST_F(MainWindowTest, ATakeDeletedWhileRecordingStopsTheRecordingAndTheWindowSaysSo) {
  TfrmMain& w = Open();
  const std::string file = (dir_ / "gone.wav").string();
  dialogs_->Answers.push_back(file);
  Click(w.btnRec);
  ASSERT_TRUE(w.Recording);
  ASSERT_TRUE(Pump([&] { return w.WaveIn->BytesRecorded() > 300000; }));
  std::filesystem::remove(file);
  ASSERT_TRUE(Pump([&] { return Idle() && !dialogs_->Messages.empty(); }, 10000))
      << "the recording stopped by itself";
  ASSERT_EQ(dialogs_->Messages.size(), 1u);
  EXPECT_EQ(
      dialogs_->Messages[0].rfind("The take is lost: the file was deleted while recording: ", 0),
      0u)
      << dialogs_->Messages[0];
}

TEST_F(MainWindowTest, AudioLostToASlowDiskIsToldWhenTheRecordingStops) {
  TfrmMain& w = Open();
  const std::string file = (dir_ / "slow.wav").string();
  dialogs_->Answers.push_back(file);
  // The writer stalls once for longer than the queue of about two seconds holds.
  std::atomic<bool> stalled{false};
  w.RecFile->FreeSpaceQuery = [&](const std::string&) {
    if (!stalled.exchange(true)) std::this_thread::sleep_for(std::chrono::seconds(4));
    return int64_t(-1);
  };
  Click(w.btnRec);
  ASSERT_TRUE(w.Recording);
  ASSERT_TRUE(Pump([&] { return w.RecBuffer->DroppedBlocks() > 0; }, 10000));
  EXPECT_TRUE(dialogs_->Messages.empty()) << "nothing interrupts the recording";
  Click(w.btnStop);
  ASSERT_TRUE(Pump([&] { return Idle() && !dialogs_->Messages.empty(); }, 10000));
  ASSERT_EQ(dialogs_->Messages.size(), 1u);
  EXPECT_NE(dialogs_->Messages[0].find(" s of audio were lost in 1 dropouts"), std::string::npos)
      << dialogs_->Messages[0];
}

TEST_F(MainWindowTest, PlayToTheEndReturnsToIdleAndTheNextPlayAsksForAFile) {
  TfrmMain& w = Open();
  const fs::path file = WriteWave("short.wav", 0.4);
  dialogs_->Answers.push_back(file.string());
  Click(w.btnPlay);
  EXPECT_TRUE(w.Playing);
  EXPECT_TRUE(w.btnPlay->Down());
  EXPECT_FALSE(w.btnRec->Enabled());
  EXPECT_FALSE(w.btnMoni->Enabled());
  EXPECT_EQ(w.lblFileName->text().toStdString(), "short.wav");
  EXPECT_EQ(w.lblSample->text().toStdString(), "44100Hz");
  ASSERT_TRUE(Pump([&] { return Idle(); }, 10000)) << "the end of the file stops the device";
  EXPECT_EQ(w.PlayFile->GetFileName(), "");
  EXPECT_EQ(w.WaveOut->DeviceState(), unsigned(dsClosed));

  Click(w.btnPlay);  // asks again; cancelled
  EXPECT_EQ(dialogs_->Asked.size(), 2u);
  EXPECT_TRUE(Idle());

  // A file already named plays without asking.
  w.PlayFile->SetFileName(file.string());
  Click(w.btnPlay);
  EXPECT_EQ(dialogs_->Asked.size(), 2u);
  EXPECT_TRUE(w.Playing);
  Click(w.btnStop);
  EXPECT_TRUE(Pump([&] { return Idle(); }));
}

TEST_F(MainWindowTest, CancelledDialogsChangeNothing) {
  TfrmMain& w = Open();
  Click(w.btnRec);
  Click(w.btnPlay);
  EXPECT_EQ(dialogs_->Asked,
            (std::vector<std::string>{"save:Waveファイルを保存", "open:Waveファイルを開く"}));
  EXPECT_TRUE(Idle());
  EXPECT_EQ(w.lblFileName->text().toStdString(), "No File");
  EXPECT_EQ(w.RecFile->GetFileName(), "");
  EXPECT_EQ(w.WaveIn->DeviceState(), unsigned(dsClosed));
  // Stop while idle: nothing changes, and the ring buffer ends enabled.
  Click(w.btnStop);
  EXPECT_TRUE(Idle());
  EXPECT_TRUE(w.RecBuffer->GetEnabled());
}

TEST_F(MainWindowTest, ADeviceThatFailsToOpenIsReportedAndTheWindowIsIdle) {
  TfrmMain& w = Open();
  w.WaveIn->SetDeviceID(7);  // no such device
  Click(w.btnMoni);
  EXPECT_TRUE(Pump([&] { return !dialogs_->Messages.empty(); }));
  EXPECT_EQ(dialogs_->Messages, (std::vector<std::string>{"Invalid DeviceID"}));
  EXPECT_TRUE(Idle());
}

TEST_F(MainWindowTest, FileErrorsNameTheFileAndTheReasonAndTheWindowStaysIdle) {
  TfrmMain& w = Open();
  const std::string text = (dir_ / "notes.wav").string();
  std::ofstream(text) << "hello, world";
  dialogs_->Answers.push_back(text);
  Click(w.btnPlay);
  ASSERT_TRUE(Pump([&] { return !dialogs_->Messages.empty(); }));
  EXPECT_EQ(dialogs_->Messages.back(),
            "Invalid wave file...\n" + text + ": not a WAVE file (no RIFF/RIFX/RF64 header)");
  EXPECT_TRUE(Idle());
  // A valid WAVE file without audio: nothing to play, and the next PLAY asks for a file again.
  const std::string empty = (dir_ / "empty.wav").string();
  {
    std::ofstream out(empty, std::ios::binary);
    out << "RIFF" << std::string("\x24\0\0\0", 4) << "WAVEfmt " << std::string("\x10\0\0\0", 4)
        << std::string("\x01\0\x02\0\x44\xac\0\0\x10\xb1\x02\0\x04\0\x10\0", 16) << "data"
        << std::string(4, '\0');
  }
  dialogs_->Answers.push_back(empty);
  Click(w.btnPlay);
  ASSERT_TRUE(Pump([&] { return dialogs_->Messages.size() == 2; }));
  EXPECT_EQ(dialogs_->Messages.back(), "Nothing to play\n" + empty + ": no audio data");
  EXPECT_TRUE(Idle());
  EXPECT_EQ(w.PlayFile->GetFileName(), "");
  const std::string nowhere = (dir_ / "no" / "take.wav").string();
  dialogs_->Answers.push_back(nowhere);
  Click(w.btnRec);
  ASSERT_TRUE(Pump([&] { return dialogs_->Messages.size() == 3; }));
  EXPECT_EQ(dialogs_->Messages.back(),
            "Unable to create wave file\n" + nowhere + ": No such file or directory");
  EXPECT_TRUE(Pump([&] { return Idle(); }));
}

TEST_F(MainWindowTest, TheSuggestedNameIsTheLocalDateAndTime) {
  TfrmMain& w = Open();
  const QDateTime before = QDateTime::currentDateTime();
  Click(w.btnRec);
  const QDateTime after = QDateTime::currentDateTime();
  const std::string name = fs::path(dialogs_->Suggested).filename().string();
  // The first take goes to the user's music folder, or home.
  EXPECT_TRUE(fs::is_directory(fs::path(dialogs_->Suggested).parent_path())) << name;
  // yyyymmddhhnnss: a 24-hour clock, month before day; the click took at most a second or two.
  std::vector<std::string> expected;
  for (QDateTime t = before.addSecs(-1); t <= after.addSecs(1); t = t.addSecs(1))
    expected.push_back(t.toString("yyyyMMddHHmmss").toStdString() + ".wav");
  EXPECT_NE(std::find(expected.begin(), expected.end(), name), expected.end()) << name;
}

// ------------------------------------------------------------------ settings

TEST_F(MainWindowTest, AFreshStartWritesTheSixKeysAtExit) {
  Open();
  window_.reset();
  EXPECT_FALSE(fs::exists(dir_ / "needlerec.ini")) << "nothing beside the program";
  EXPECT_EQ(ReadFile(Ini()),
            "[Common]\nOutputDev=0\nInputDev=0\nSampleRate=48000\nLRefLevel=-16\nRRefLevel=-16\n"
            "ScaleFactor=1\n");
}

TEST_F(MainWindowTest, LoadedValuesAreCheckedAndOtherKeysSurvive) {
  struct Case {
    const char* values;
    int32_t rate;
    double left, right;
    TMMDeviceId input;
  } cases[] = {
      {"SampleRate=22050\nLRefLevel=-5\nRRefLevel=-30\nInputDev=3\n", 44100, -16, -30, 0},
      {"SampleRate=48000\nLRefLevel=-10\nRRefLevel=-31\nInputDev=-1\n", 48000, -10, -16, -1},
  };
  for (const Case& c : cases) {
    WriteSettings(std::string("[Other]\nKeep=yes\n[Common]\n") + c.values + "Extra=1\n");
    TfrmMain& w = Open();
    EXPECT_EQ(w.Settings.SampleRate, c.rate) << c.values;
    EXPECT_EQ(w.WaveIn->GetSampleRate(), c.rate);
    EXPECT_EQ(w.Settings.LRefLevel, c.left);
    EXPECT_EQ(w.Settings.RRefLevel, c.right);
    EXPECT_EQ(w.Settings.InputDev, c.input);
    EXPECT_EQ(w.WaveIn->GetDeviceID(), c.input) << "the checked value reaches the device";
    window_.reset();
    const std::string saved = ReadFile(Ini());
    EXPECT_NE(saved.find("[Other]\nKeep=yes\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("Extra=1"), std::string::npos) << saved;
    EXPECT_NE(saved.find("InputDev=" + std::to_string(c.input)), std::string::npos) << saved;
  }
}

TEST_F(MainWindowTest, WithoutInputDevicesTheLabelSaysSoAndDeviceZeroIsKept) {
  SetWaveDriver(std::make_shared<TNoInputDriver>());
  TfrmMain& w = Open();
  EXPECT_TRUE(w.InputNames.empty());
  EXPECT_EQ(w.Settings.InputDev, 0);
  EXPECT_EQ(w.WaveIn->GetDeviceID(), InvalidId);
  EXPECT_EQ(w.lblInput->text().toStdString(), "IN  : No wave audio recording device found");
  window_.reset();
  EXPECT_NE(ReadFile(Ini()).find("InputDev=0"), std::string::npos);
}

TEST_F(MainWindowTest, ClosingWithTheSettingsDialogOpenSavesAndLeavesNothing) {
  TfrmMain& w = Open();
  w.btnSettingClick();
  ASSERT_TRUE(w.frmDevice);
  QPointer<TfrmDevice> dialog = w.frmDevice.data();
  w.close();
  Pump([] { return false; }, 50);
  EXPECT_FALSE(dialog && dialog->isVisible());
  window_.reset();
  EXPECT_FALSE(dialog);
  EXPECT_TRUE(fs::exists(Ini()));
}

TEST_F(MainWindowTest, TheSettingsDialogAppliesOnOkAndChangesNothingOnCancel) {
  TfrmMain& w = Open();
  w.btnSettingClick();
  ASSERT_TRUE(w.frmDevice);
  TfrmDevice* d = w.frmDevice;
  EXPECT_FALSE(d->isModal());
  EXPECT_EQ(d->cmbInputDevice->currentIndex(), 0);
  EXPECT_EQ(d->cmbOutputDevice->currentText().toStdString(), "Virtual output (test device)");
  EXPECT_EQ(d->cmbSample->currentText().toStdString(), "48000");

  // Cancel: nothing changes.
  d->cmbInputDevice->setCurrentIndex(-1);
  d->cmbSample->setEditText("44100");
  d->btnCloseClick();
  ASSERT_TRUE(Pump([&] { return !w.frmDevice; }));
  EXPECT_EQ(w.WaveIn->GetDeviceID(), 0);
  EXPECT_EQ(w.WaveOut->GetDeviceID(), 0);
  EXPECT_EQ(w.Settings.SampleRate, 48000);
  EXPECT_EQ(w.Settings.InputDev, 0);
  EXPECT_EQ(w.WaveIn->GetSampleRate(), 48000);
  EXPECT_EQ(w.lblInput->text().toStdString(), "IN  : Virtual input (test signal)");

  // Not a number: the devices are applied, the error is reported, the dialog stays open.
  w.btnSettingClick();
  d = w.frmDevice;
  d->cmbInputDevice->setCurrentIndex(-1);
  d->cmbSample->setEditText("44k");
  d->btnOKClick();
  EXPECT_EQ(dialogs_->Messages, (std::vector<std::string>{"'44k' is not a valid integer value"}));
  EXPECT_EQ(w.WaveIn->GetDeviceID(), -1);
  EXPECT_EQ(w.Settings.InputDev, 0) << "the later steps did not run";
  EXPECT_TRUE(w.frmDevice && w.frmDevice->isVisible());

  // A rate beyond what the input can record (the virtual one takes up to 100 kHz): refused
  // with a message before anything is applied; the dialog stays open.
  dialogs_->Messages.clear();
  d->cmbInputDevice->setCurrentIndex(0);
  d->cmbSample->setEditText("200000");
  d->btnOKClick();
  EXPECT_EQ(dialogs_->Messages,
            (std::vector<std::string>{
                "The input device \"Virtual input (test signal)\" cannot record at 200000 Hz."}));
  EXPECT_TRUE(w.frmDevice && w.frmDevice->isVisible());
  EXPECT_EQ(w.WaveIn->GetDeviceID(), -1) << "still the device applied before";
  EXPECT_EQ(w.WaveIn->GetSampleRate(), 48000);
  EXPECT_EQ(w.Settings.SampleRate, 48000);

  // A rate it can record is taken.
  d->cmbSample->setEditText("44100");
  d->btnOKClick();
  ASSERT_TRUE(Pump([&] { return !w.frmDevice; }));
  EXPECT_EQ(dialogs_->Messages.size(), 1u);
  EXPECT_EQ(w.WaveIn->GetSampleRate(), 44100);
  EXPECT_EQ(w.Settings.SampleRate, 44100);
  EXPECT_EQ(w.Settings.InputDev, 0);
  EXPECT_EQ(w.lblInput->text().toStdString(), "IN  : Virtual input (test signal)");
  window_.reset();
  EXPECT_NE(ReadFile(Ini()).find("SampleRate=44100"), std::string::npos);
}

// Two inputs, the second of which cannot record at 44.1 kHz.
class TRateRefusingDriver : public TFakeWaveDriver {
 public:
  TRateRefusingDriver() : TFakeWaveDriver(1, 2) {}
  MMRESULT InOpen(HWAVEIN* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                  uintptr_t callback, uintptr_t instance, uint32_t flags) override {
    const MMRESULT result =
        TFakeWaveDriver::InOpen(handle, deviceId, format, callback, instance, flags);
    if ((flags & WAVE_FORMAT_QUERY) && deviceId == 1 && format->nSamplesPerSec == 44100)
      return WAVERR_BADFORMAT;
    return result;
  }
};

TEST_F(MainWindowTest, TheSettingsDialogRefusesARateTheChosenInputCannotRecord) {
  auto driver = std::make_shared<TRateRefusingDriver>();
  SetWaveDriver(driver);
  TfrmMain& w = Open();
  w.btnSettingClick();
  ASSERT_TRUE(w.frmDevice);
  TfrmDevice* d = w.frmDevice;
  driver->ClearCalls();
  d->cmbInputDevice->setCurrentIndex(1);
  d->cmbSample->setEditText("44100");
  d->btnOKClick();
  EXPECT_EQ(
      dialogs_->Messages,
      (std::vector<std::string>{"The input device \"Fake input 1\" cannot record at 44100 Hz."}));
  const std::vector<std::string> calls = driver->Calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "waveInOpen(1,query)"), calls.end())
      << "the chosen device is asked, not the current one";
  EXPECT_TRUE(w.frmDevice && w.frmDevice->isVisible());
  EXPECT_EQ(w.WaveIn->GetDeviceID(), 0);
  EXPECT_EQ(w.WaveIn->GetSampleRate(), 48000);
  EXPECT_EQ(w.Settings.InputDev, 0);
  EXPECT_EQ(w.Settings.SampleRate, 48000);

  // Given up: the file keeps the old choice.
  d->btnCloseClick();
  ASSERT_TRUE(Pump([&] { return !w.frmDevice; }));
  window_.reset();
  const std::string saved = ReadFile(Ini());
  EXPECT_NE(saved.find("InputDev=0\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("SampleRate=48000\n"), std::string::npos) << saved;
}

// ------------------------------------------------------------------ the rendered window

TEST_F(MainWindowTest, TheRenderedWindowShowsTheSkinAndTheLitMonitorButton) {
  TfrmMain& w = Open();
  Pump([] { return false; }, 50);
  // The Japanese Gothic of the layout is drawn with an installed Japanese face.
  EXPECT_EQ(QFontInfo(w.MMLabel1->font()).family().toStdString(), "IPAPGothic");
  const QImage idle = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(idle.size(), QSize(700, 450));
  const fs::path artefacts = fs::path(NEEDLEREC_ARTEFACTS);
  fs::create_directories(artefacts);
  idle.save(QString::fromStdString((artefacts / "main-window-idle.png").string()));

  const QImage background = w.ImageList->Image(0)->Image();
  auto glyph = [&](int image, int index, const QPoint& at) {
    const QImage strip = w.ImageList->Image(image)->Image();
    const int width = strip.width() / (image == 7 ? 2 : image <= 3 ? 3 : 5);
    return strip.pixel(index * width + at.x(), at.y()) | 0xFF000000;
  };
  // The background in a corner and between the instruments.
  for (QPoint p : {QPoint(3, 40), QPoint(350, 190), QPoint(690, 360)})
    EXPECT_EQ(idle.pixel(p), background.pixel(p) | 0xFF000000) << p.x() << "," << p.y();
  // The badge picture at its place.
  TMemoryDIB picture;
  picture.SetData(SkinPicture());
  for (QPoint p : {QPoint(33, 32), QPoint(10, 50)})
    EXPECT_EQ(idle.pixel(w.Image1->pos() + p), picture.Image().pixel(p) | 0xFF000000);
  // Each button shows its up glyph at its place.
  struct Button {
    TDIBGlyphButton* button;
    int image;
  } buttons[] = {{w.btnMoni, 4}, {w.btnPlay, 5}, {w.btnRec, 6}, {w.btnStop, 7}};
  for (const Button& b : buttons) {
    const QPoint inside(b.button->Width() / 2, b.button->Height() / 3);
    EXPECT_EQ(idle.pixel(b.button->BoundsRect().topLeft() + inside), glyph(b.image, 0, inside))
        << b.image;
  }

  Click(w.btnMoni);
  Pump([] { return false; }, 50);
  const QImage monitoring = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
  monitoring.save(QString::fromStdString((artefacts / "main-window-monitoring.png").string()));
  // The lit fifth glyph: compare the whole button.
  int differing = 0;
  for (int y = 0; y < w.btnMoni->Height(); ++y)
    for (int x = 0; x < w.btnMoni->Width(); ++x)
      differing += monitoring.pixel(w.btnMoni->Left() + x, w.btnMoni->Top() + y) !=
                   glyph(4, 4, QPoint(x, y));
  EXPECT_EQ(differing, 0);
  Click(w.btnStop);
  EXPECT_TRUE(Pump([&] { return Idle(); }));
}

// ------------------------------------------------------------------ instruments and read-outs

// The region of a widget in a grab of the window.
QImage Region(const QImage& window, const QWidget* w) {
  return window.copy(QRect(w->mapTo(w->window(), QPoint(0, 0)), w->size()));
}

TEST_F(MainWindowTest, MonitoringMovesEveryInstrumentAndTheTimeReadOutStaysAtZero) {
  TfrmMain& w = Open();
  Click(w.btnMoni);
  ASSERT_TRUE(Pump([&] { return !w.btnSetting->isEnabled(); }));
  Pump([] { return false; }, 1200);
  const QImage first = w.grab().toImage();
  Pump([] { return false; }, 1000);
  const QImage second = w.grab().toImage();
  for (const QWidget* instrument : std::initializer_list<const QWidget*>{
           w.MMMeter1, w.MMMeter2, w.MMLevel1, w.MMLevel2, w.MMSpectrum1})
    EXPECT_NE(Region(first, instrument), Region(second, instrument))
        << instrument->metaObject()->className() << " at " << instrument->x();
  // The peak read-out runs while monitoring; the time read-out does not.
  EXPECT_TRUE(Pump([&] { return w.LEDPeak->GetValue() > 0; }));
  for (const TMMLEDPanel* p : {w.LEDHour, w.LEDMin, w.LEDSec, w.LEDMSec})
    EXPECT_EQ(p->GetValue(), 0);
  Click(w.btnStop);
  EXPECT_TRUE(Pump([&] { return Idle(); }));
  EXPECT_EQ(w.LEDPeak->GetValue(), 0) << "the peak read-out returns to 0";
  EXPECT_TRUE(w.LEDPeak->GetDashes()) << "and shows dashes";
}

TEST_F(MainWindowTest, ThePeakReadOutShowsTheLargerPeakInDecibelsAndKeepsItWithoutOne) {
  TfrmMain& w = Open();
  struct Case {
    int left, right, shows;
  };
  // Peaks in per cent of full scale, as the bars hold them (whole spots of about 0.5 dB).
  for (const Case& c : {Case{50, 25, 6}, Case{25, 50, 6}, Case{100, 0, 0}, Case{0, 0, 0}}) {
    SCOPED_TRACE(std::to_string(c.left) + " " + std::to_string(c.right));
    w.LEDPeak->SetValue(33);
    w.MMLevel1->ResetData();
    w.MMLevel2->ResetData();
    if (c.left) w.MMLevel1->SetValue(c.left);
    if (c.right) w.MMLevel2->SetValue(c.right);
    w.PeakTimerTimer(nullptr);
    EXPECT_EQ(w.LEDPeak->GetValue(), c.left || c.right ? c.shows : 33);
  }
}

// The lit cream pixels of the peak read-out in a grab, by their row band: above, in and below
// the middle third, where a dash lights only the middle one.
struct TLitBands {
  int Top = 0, Middle = 0, Bottom = 0;
};
TLitBands LitBands(const QImage& readout) {
  TLitBands bands;
  const int third = readout.height() / 3;
  for (int y = 0; y < readout.height(); ++y)
    for (int x = 0; x < readout.width(); ++x)
      if (readout.pixel(x, y) == (qRgb(255, 251, 240) | 0xFF000000u))
        ++(y < third ? bands.Top : y < 2 * third ? bands.Middle : bands.Bottom);
  return bands;
}

// A file that clips in both channels for its first tenth of a second and is quiet after: once
// it has played to the end, each bar keeps a red mark at its full-scale end, the rest of the
// bars as at rest; a click on the left bar puts its mark out, the next run the other one. The
// peak read-out shows dashes whenever nothing runs.
TEST_F(MainWindowTest, AClippedBurstLeavesTheMarksLitUntilAClickOrTheNextRun) {
  const fs::path file = WriteWave("burst.wav", 1.0, [](size_t frame, int) {
    if (frame < 4410) return int16_t(frame % 2 ? 32767 : -32768);
    return int16_t(std::lround(300 * std::sin(double(frame) / 7.0)));
  });
  TfrmMain& w = Open();
  Pump([] { return false; }, 50);
  const fs::path artefacts = fs::path(NEEDLEREC_ARTEFACTS);
  fs::create_directories(artefacts);
  const QImage idle = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_TRUE(w.LEDPeak->GetDashes()) << "nothing has been measured";
  const TLitBands dashes = LitBands(Region(idle, w.LEDPeak));
  EXPECT_EQ(dashes.Top + dashes.Bottom, 0);
  EXPECT_GT(dashes.Middle, 0);

  dialogs_->Answers.push_back(file.string());
  Click(w.btnPlay);
  ASSERT_TRUE(w.Playing);
  ASSERT_TRUE(Pump([&] { return Idle(); }, 10000)) << "the file plays to its end";
  EXPECT_TRUE(w.MMLevel1->GetClipped());
  EXPECT_TRUE(w.MMLevel2->GetClipped());
  EXPECT_TRUE(w.LEDPeak->GetDashes()) << "at rest again";
  Pump([] { return false; }, 50);
  const QImage latched = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
  latched.save(QString::fromStdString((artefacts / "main-window-clip-latched.png").string()));
  // The last three spots of each bar (x 192 to 199 of 200) in the skin's red; everything else
  // of the bars as at rest.
  const QRgb red = qRgb(255, 64, 58) | 0xFF000000u;
  const QRect mark(192, 0, 8, 8);
  for (TMMLevel* bar : {w.MMLevel1, w.MMLevel2}) {
    SCOPED_TRACE(bar == w.MMLevel1 ? "left" : "right");
    const QImage now = Region(latched, bar), before = Region(idle, bar);
    int red_pixels = 0, changed_outside = 0;
    for (int y = 0; y < now.height(); ++y)
      for (int x = 0; x < now.width(); ++x) {
        if (mark.contains(x, y))
          red_pixels += now.pixel(x, y) == red;
        else
          changed_outside += now.pixel(x, y) != before.pixel(x, y);
      }
    EXPECT_EQ(red_pixels, 6 * 8) << "three spots of two columns, eight rows";
    EXPECT_EQ(changed_outside, 0);
  }
  const TLitBands stopped = LitBands(Region(latched, w.LEDPeak));
  EXPECT_EQ(stopped.Top + stopped.Bottom, 0) << "dashes after the stop";

  // A click on the left bar: its mark goes, the right one stays.
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(50, 4),
                    w.MMLevel1->mapToGlobal(QPointF(50, 4)), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(w.MMLevel1, &press);
  EXPECT_FALSE(w.MMLevel1->GetClipped());
  EXPECT_TRUE(w.MMLevel2->GetClipped());
  Pump([] { return false; }, 50);
  const QImage clicked = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(Region(clicked, w.MMLevel1), Region(idle, w.MMLevel1));

  // The next run (the virtual input's programme, which never reaches full scale) puts the
  // other mark out; the read-out shows the peak while it runs.
  Click(w.btnMoni);
  ASSERT_TRUE(Pump([&] { return !w.btnSetting->isEnabled(); })) << "DeviceStart ran";
  EXPECT_FALSE(w.MMLevel2->GetClipped());
  EXPECT_TRUE(Pump([&] { return !w.LEDPeak->GetDashes() && w.LEDPeak->GetValue() > 0; }));
  Click(w.btnStop);
  EXPECT_TRUE(Pump([&] { return Idle(); }));
  EXPECT_FALSE(w.MMLevel1->GetClipped());
  EXPECT_FALSE(w.MMLevel2->GetClipped());
  EXPECT_TRUE(w.LEDPeak->GetDashes());
}

TEST_F(MainWindowTest, TheFacePicturesSwitchBothMeters) {
  TfrmMain& w = Open();
  auto face = [](int index) {
    TMemoryDIB dib;
    dib.SetData(SkinMeterFaces()[size_t(index)].Data);
    return dib.Image().convertToFormat(QImage::Format_RGB32);
  };
  EXPECT_EQ(w.MMMeter1->BackGroundDIB().convertToFormat(QImage::Format_RGB32), face(0));
  for (int i : {1, 2, 0}) {
    w.MeterFaceClick(i);
    EXPECT_EQ(w.MMMeter1->BackGroundDIB().convertToFormat(QImage::Format_RGB32), face(i));
    EXPECT_EQ(w.MMMeter2->BackGroundDIB().convertToFormat(QImage::Format_RGB32), face(i));
  }
}

// A file whose sine peaks at the reference level: while it plays, both needles rest on 0 VU,
// the time read-out runs, and the grab is kept for a person to look at.
TEST_F(MainWindowTest, PlayingAKnownFileStandsTheNeedlesWhereTheLawPutsThem) {
  const double peak = std::pow(10.0, -16.0 / 20.0) * 32767.0;
  const fs::path file = WriteWave("sine.wav", 4.0, [&](size_t frame, int) {
    return int16_t(
        std::lround(peak * std::sin(2 * 3.14159265358979 * 1000.0 * double(frame) / 44100.0)));
  });
  dialogs_->Answers.push_back(file.string());
  TfrmMain& w = Open();
  Click(w.btnPlay);
  ASSERT_TRUE(w.Playing);
  // The needle law reaches 99 % of its travel in about 1.5 s.
  Pump([] { return false; }, 2500);
  ASSERT_TRUE(w.Playing);
  const double zeroVU = VUToAngle(0.0, w.MMMeter1->ScaleAngle());
  EXPECT_NEAR(w.MMMeter1->NeedleAngle(), zeroVU, 0.02);
  EXPECT_NEAR(w.MMMeter2->NeedleAngle(), zeroVU, 0.02);
  EXPECT_GE(w.LEDSec->GetValue(), 1) << "the time read-out runs while playing";
  EXPECT_EQ(w.LEDPeak->GetValue(), 16) << "the sine's peak in dB under full scale";
  const fs::path artefacts = fs::path(NEEDLEREC_ARTEFACTS);
  fs::create_directories(artefacts);
  const QImage grab = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
  grab.save(
      QString::fromStdString((artefacts / "main-window-playing-sine-at-reference.png").string()));
  // The same sound on both channels: the phase scope's points stand on its vertical axis.
  const QImage scope = Region(grab, w.MMSpectrum1);
  scope.scaled(scope.size() * 3)
      .save(QString::fromStdString((artefacts / "phase-scope-playing-sine.png").string()));
  int points = 0, offAxis = 0;
  // Inside the one-pixel bevel, whose light edges are white too.
  for (int y = 1; y < scope.height() - 1; ++y)
    for (int x = 1; x < scope.width() - 1; ++x)
      if (scope.pixel(x, y) == qRgb(255, 255, 255)) {
        ++points;
        offAxis += std::abs(x - scope.width() / 2) > 1;
      }
  EXPECT_GT(points, 10);
  EXPECT_EQ(offAxis, 0);
  Click(w.btnStop);
  EXPECT_TRUE(Pump([&] { return Idle(); }));
}

TEST_F(MainWindowTest, TheReferenceLevelsStepAloneOrBothAndTheMetersAndSettingsFollow) {
  TfrmMain& w = Open();
  struct Case {
    const char* name;
    bool both;
    double left, right;
    void (TfrmMain::*click)(TObject*);
    double leftAfter, rightAfter;
  };
  const Case cases[] = {
      {"both, left up", true, -16.0, -20.0, &TfrmMain::SpinLUpClick, -15.9, -15.9},
      {"both, right down", true, -16.0, -20.0, &TfrmMain::SpinRDownClick, -20.1, -20.1},
      {"both, left down", true, -16.0, -20.0, &TfrmMain::SpinLDownClick, -16.1, -16.1},
      {"both, right up", true, -16.0, -20.0, &TfrmMain::SpinRUpClick, -19.9, -19.9},
      {"alone, left up", false, -16.0, -20.0, &TfrmMain::SpinLUpClick, -15.9, -20.0},
      {"alone, right down", false, -16.0, -20.0, &TfrmMain::SpinRDownClick, -16.0, -20.1},
      {"alone, clamped at -10", false, -10.0, -20.0, &TfrmMain::SpinLUpClick, -10.0, -20.0},
      {"both, clamped at -30", true, -16.0, -30.0, &TfrmMain::SpinRDownClick, -30.0, -30.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    w.cbBoth->setChecked(c.both);
    w.editLRef->SetValue(c.left);
    w.editRRef->SetValue(c.right);
    (w.*c.click)(nullptr);
    EXPECT_NEAR(w.editLRef->Value(), c.leftAfter, 1e-9);
    EXPECT_NEAR(w.editRRef->Value(), c.rightAfter, 1e-9);
    EXPECT_NEAR(w.MMMeter1->RefLevel(), c.leftAfter, 1e-9) << "the meter follows";
    EXPECT_NEAR(w.MMMeter2->RefLevel(), c.rightAfter, 1e-9);
    EXPECT_NEAR(w.Settings.LRefLevel, c.leftAfter, 1e-9) << "and the setting";
    EXPECT_NEAR(w.Settings.RRefLevel, c.rightAfter, 1e-9);
  }
  EXPECT_EQ(w.editLRef->text().toStdString(), QLocale().toString(-30.0, 'f', 1).toStdString())
      << "one decimal once changed";
  // The spin buttons rest while recording and playing, not while monitoring.
  Click(w.btnMoni);
  EXPECT_TRUE(w.SpinL->isEnabled());
  Click(w.btnStop);
  ASSERT_TRUE(Pump([&] { return Idle(); }));
  dialogs_->Answers.push_back((dir_ / "take.wav").string());
  Click(w.btnRec);
  EXPECT_FALSE(w.SpinL->isEnabled());
  EXPECT_FALSE(w.SpinR->isEnabled());
  Click(w.btnStop);
  ASSERT_TRUE(Pump([&] { return Idle(); }));
  EXPECT_TRUE(w.SpinL->isEnabled());
  EXPECT_TRUE(w.SpinR->isEnabled());
}

TEST_F(MainWindowTest, TheStoredScaleFactorZoomsThePhaseScope) {
  struct Case {
    const char* stored;
    int position;
    double zoom;
    int saved;
  } cases[] = {
      {nullptr, 1, 1.1, 1},            // no settings file
      {"ScaleFactor=0\n", 0, 1.5, 0},  // the slider does not move: the scope keeps its 1.5
      {"ScaleFactor=5\n", 5, 1.5, 5},
      {"ScaleFactor=50\n", 20, 1.0, 20},  // clamped to 20; a zoom of 3.0 is out of range
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored ? c.stored : "none");
    fs::remove(Ini());
    if (c.stored) WriteSettings(std::string("[Common]\n") + c.stored);
    TfrmMain& w = Open();
    EXPECT_EQ(w.MMSlider1->Position(), c.position);
    EXPECT_FALSE(w.MMSlider1->isVisible());
    EXPECT_DOUBLE_EQ(w.MMSpectrum1->GetRangeFactorX(), c.zoom);
    EXPECT_DOUBLE_EQ(w.MMSpectrum1->GetRangeFactorY(), c.zoom);
    EXPECT_EQ(w.Settings.ScaleFactor, c.saved);
    window_.reset();
  }
}

// ------------------------------------------------------------------ the end of the session

TEST_F(MainWindowTest, ATerminationSignalFinishesTheRecordingAndSavesTheSettings) {
  TfrmMain& w = Open();
  CloseOnTerminationSignals(&w);
  const std::string file = (dir_ / "session.wav").string();
  dialogs_->Answers.push_back(file);
  Click(w.btnRec);
  ASSERT_TRUE(w.Recording);
  Pump([] { return false; }, 400);
  // Twice, as `timeout` may send it: the second does not cut the close short.
  std::raise(SIGTERM);
  std::raise(SIGTERM);
  ASSERT_TRUE(Pump([&] { return !w.isVisible(); }));
  EXPECT_EQ(w.WaveIn->DeviceState(), unsigned(dsClosed));
  const std::string bytes = ReadFile(file);
  ASSERT_GT(bytes.size(), 80u + 4);
  EXPECT_EQ(Le32(bytes, 4) + 8, bytes.size()) << "sizes patched";
  EXPECT_EQ(Le32(bytes, 76) + 80, bytes.size());
  EXPECT_TRUE(fs::exists(Ini()));
}

}  // namespace
