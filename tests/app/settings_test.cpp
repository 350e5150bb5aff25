#include "app/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

#include "platform/wave/fake_driver.h"

namespace fs = std::filesystem;

namespace {

// Sets an environment variable for one test and puts the old value back afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : FName(name) {
    if (const char* old = std::getenv(name)) FOld = old;
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (FOld)
      ::setenv(FName, FOld->c_str(), 1);
    else
      ::unsetenv(FName);
  }

 private:
  const char* FName;
  std::optional<std::string> FOld;
};

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nr-settings-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    exe = (dir / "needlerec").string();
    // Whatever the per-user place is, it is in the test's folder.
    xdgConfig.emplace("XDG_CONFIG_HOME", (dir / "config").c_str());
  }
  void TearDown() override {
    xdgConfig.reset();
    fs::remove_all(dir);
  }

  static std::string Read(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  fs::path dir;
  std::string exe;
  std::optional<ScopedEnv> xdgConfig;
};

TEST_F(SettingsTest, FileLivesBesideTheExecutableOnlyWhenOneStandsThereElseInTheUserConfig) {
  // A portable copy: a settings file (of any kind) already beside the program, named after it.
  std::ofstream(dir / "needlerec.ini") << "";
  EXPECT_EQ(SettingsFileName(exe), (dir / "needlerec.ini").string());
  std::ofstream(dir / "rec.ini") << "";
  EXPECT_EQ(SettingsFileName((dir / "rec.exe").string()), (dir / "rec.ini").string());
  fs::create_symlink(dir / "nowhere", dir / "linked.ini");
  EXPECT_EQ(SettingsFileName((dir / "linked").string()), (dir / "linked.ini").string());

  // Without one, a writable folder (a per-user install) and a folder that cannot be written or
  // does not exist (a system install) alike give the per-user place, named after the program.
  fs::create_directories(dir / "local" / "bin");
  const struct {
    std::optional<std::string> xdg;  // none: unset
    std::string exe;
    fs::path file;
  } cases[] = {
      {(dir / "cfg").string(), (dir / "local" / "bin" / "needlerec").string(),
       dir / "cfg" / "needlerec" / "needlerec.ini"},
      {(dir / "cfg").string(), (dir / "usr" / "bin" / "needlerec").string(),
       dir / "cfg" / "needlerec" / "needlerec.ini"},
      {(dir / "cfg").string(), (dir / "local" / "bin" / "rec").string(),
       dir / "cfg" / "needlerec" / "rec.ini"},
      {std::nullopt, (dir / "local" / "bin" / "needlerec").string(),
       dir / ".config" / "needlerec" / "needlerec.ini"},
      {"", (dir / "local" / "bin" / "needlerec").string(),
       dir / ".config" / "needlerec" / "needlerec.ini"},
      {"relative/is/ignored", (dir / "usr" / "bin" / "needlerec").string(),
       dir / ".config" / "needlerec" / "needlerec.ini"},
  };
  ScopedEnv home("HOME", dir.c_str());
  for (const auto& c : cases) {
    ScopedEnv xdg("XDG_CONFIG_HOME", c.xdg ? c.xdg->c_str() : nullptr);
    EXPECT_EQ(SettingsFileName(c.exe), c.file.string())
        << c.exe << " with XDG_CONFIG_HOME=" << c.xdg.value_or("(unset)");
  }
}

TEST_F(SettingsTest, FreshStartLoadsDefaultsAndSaveCreatesTheFile) {
  TSettingsStore store(exe);
  store.OutputDev = 9;  // LoadSettings replaces every value
  store.LRefLevel = 0;
  store.LoadSettings();
  EXPECT_EQ(store.OutputDev, 0);
  EXPECT_EQ(store.InputDev, 0);
  EXPECT_EQ(store.SampleRate, 48000);
  EXPECT_EQ(store.LRefLevel, -16.0);
  EXPECT_EQ(store.RRefLevel, -16.0);
  EXPECT_EQ(store.ScaleFactor, 1);

  store.SaveSettings();
  EXPECT_EQ(Read(store.FileName()),
            "[Common]\n"
            "OutputDev=0\n"
            "InputDev=0\n"
            "SampleRate=48000\n"
            "LRefLevel=-16\n"
            "RRefLevel=-16\n"
            "ScaleFactor=1\n");
}

TEST_F(SettingsTest, LoadReadsValuesAndFallsBackPerKey) {
  std::ofstream(dir / "needlerec.ini") << "[Window]\nLeft=10\n"
                                          "[common]\n"
                                          "OutputDev=0x2\n"
                                          "InputDev=-1\n"
                                          "SampleRate=fast\n"
                                          "LRefLevel=-15,5\n"
                                          "RRefLevel=\n"
                                          "ScaleFactor=50\n";
  TSettingsStore store(exe);
  store.LoadSettings();
  EXPECT_EQ(store.OutputDev, 2);
  EXPECT_EQ(store.InputDev, -1);  // kept: the wave mapper
  EXPECT_EQ(store.SampleRate, 48000);
  EXPECT_EQ(store.LRefLevel, -15.5);
  EXPECT_EQ(store.RRefLevel, -16.0);
  EXPECT_EQ(store.ScaleFactor, 50);  // not checked here

  store.LRefLevel = -16.0 + 0.1;
  store.RRefLevel = -30.0;
  store.SaveSettings();
  EXPECT_EQ(Read(store.FileName()),
            "[Window]\nLeft=10\n"
            "[common]\n"
            "OutputDev=2\n"
            "InputDev=-1\n"
            "SampleRate=48000\n"
            "LRefLevel=-15.9\n"
            "RRefLevel=-30\n"
            "ScaleFactor=50\n");
}

TEST_F(SettingsTest, AFileWithAByteOrderMarkKeepsItsOneCommonSection) {
  const std::string bom = "\xEF\xBB\xBF";
  std::ofstream(dir / "needlerec.ini") << bom << "[Common]\r\nInputDev=3\r\nSampleRate=44100\r\n";
  TSettingsStore store(exe);
  store.LoadSettings();
  EXPECT_EQ(store.InputDev, 3);
  EXPECT_EQ(store.SampleRate, 44100);
  store.SaveSettings();
  EXPECT_EQ(Read(store.FileName()), bom +
                                        "[Common]\r\n"
                                        "InputDev=3\r\n"
                                        "SampleRate=44100\r\n"
                                        "OutputDev=0\r\n"
                                        "LRefLevel=-16\r\n"
                                        "RRefLevel=-16\r\n"
                                        "ScaleFactor=1\r\n");
}

TEST_F(SettingsTest, AKillDuringTheSaveLeavesAllOldOrAllNewAndNoLitter) {
  // Two sets of the six values; a writer alternates between them until it is killed.
  auto setValues = [](TSettingsStore& s, int which) {
    s.OutputDev = s.InputDev = which;
    s.SampleRate = which ? 48000 : 44100;
    s.LRefLevel = s.RRefLevel = which ? -12.5 : -20.0;
    s.ScaleFactor = which ? 7 : 5;
  };
  std::ofstream(dir / "needlerec.ini") << "";  // beside the program, where the litter would be
  TSettingsStore store(exe);
  const std::string texts[2] = {
      "[Common]\nOutputDev=0\nInputDev=0\nSampleRate=44100\nLRefLevel=-20\nRRefLevel=-20\n"
      "ScaleFactor=5\n",
      "[Common]\nOutputDev=1\nInputDev=1\nSampleRate=48000\nLRefLevel=-12.5\n"
      "RRefLevel=-12.5\nScaleFactor=7\n"};
  setValues(store, 0);
  store.SaveSettings();
  ASSERT_EQ(Read(store.FileName()), texts[0]);
  int changed = 0;
  for (int round = 0; round < 12; ++round) {
    const std::string before = Read(store.FileName());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      TSettingsStore writer(exe);
      for (int i = 1;; ++i) {
        setValues(writer, i % 2);
        writer.SaveSettings();
      }
    }
    ::usleep(useconds_t(2000 + 1500 * round));
    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    const std::string after = Read(store.FileName());
    EXPECT_TRUE(after == texts[0] || after == texts[1]) << "round " << round << ":\n" << after;
    changed += after != before;
  }
  EXPECT_GT(changed, 0) << "the writer never got to save";

  // The next save clears what the killed writers left.
  store.SaveSettings();
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"needlerec.ini"});
}

TEST_F(SettingsTest, OnlyAWholeNumberIsAnInteger) {
  // Only a whole number counts; anything else gives the key's default.
  struct Case {
    const char* text;
    int32_t value;
  } cases[] = {{"1abc", 0},  {"44100Hz", 0}, {"4294967297", 0}, {" 7 ", 7},
               {"0X10", 16}, {"-0x1", -1},   {"", 0},           {"+3", 3}};
  for (const Case& c : cases) {
    std::ofstream(dir / "needlerec.ini") << "[Common]\nInputDev=" << c.text << "\n";
    TSettingsStore other(exe);
    other.LoadSettings();
    EXPECT_EQ(other.InputDev, c.value) << "'" << c.text << "'";
  }
}

TEST_F(SettingsTest, RefLevelTextIsShortAndLocaleFree) {
  struct {
    double value;
    const char* text;
  } formats[] = {{-16.0, "-16"},     {-16.0 + 0.1, "-15.9"}, {-15.95, "-15.95"},
                 {0.1 + 0.2, "0.3"}, {-30.0, "-30"},         {1.0 / 3, "0.333333333333333"}};
  for (const auto& f : formats) EXPECT_EQ(FormatRefLevel(f.value), f.text) << f.value;

  struct {
    const char* text;
    std::optional<double> value;
  } parses[] = {{"-15.9", -15.9}, {"-15,9", -15.9}, {" +3 ", 3.0}, {"-1e1", -10.0},
                {"", {}},         {"abc", {}},      {"-16dB", {}}, {"1,5,0", {}},
                {"nan", {}},      {"inf", {}},      {"-", {}}};
  for (const auto& p : parses) {
    double value = 123;
    EXPECT_EQ(ParseRefLevel(p.text, value), p.value.has_value()) << '"' << p.text << '"';
    EXPECT_EQ(value, p.value.value_or(123)) << '"' << p.text << '"';
  }
}

TEST_F(SettingsTest, PerUserLocationIsCreatedOnSave) {
  ScopedEnv config("XDG_CONFIG_HOME", (dir / "cfg").c_str());
  TSettingsStore store((dir / "ro" / "needlerec").string());
  store.SampleRate = 44100;
  const mode_t umask = ::umask(022);
  store.SaveSettings();
  ::umask(umask);
  const fs::path file = dir / "cfg" / "needlerec" / "needlerec.ini";
  ASSERT_EQ(store.FileName(), file.string());
  // Every folder made for it is private, even under a permissive umask.
  EXPECT_EQ(fs::status(dir / "cfg").permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(file.parent_path()).permissions(), fs::perms::owner_all);

  TSettingsStore again((dir / "ro" / "needlerec").string());
  again.LoadSettings();
  EXPECT_EQ(again.SampleRate, 44100);
}

TEST_F(SettingsTest, SaveThatCannotWriteThrowsAndKeepsTheValues) {
  // The configuration folder would have to be made under a plain file.
  std::ofstream(dir / "plain") << "x";
  ScopedEnv config("XDG_CONFIG_HOME", (dir / "plain").c_str());
  TSettingsStore store((dir / "ro" / "needlerec").string());
  store.InputDev = 4;
  EXPECT_THROW(store.SaveSettings(), ESettingsError);
  EXPECT_EQ(store.InputDev, 4);

  // The settings file's name is taken by a folder.
  fs::create_directory(dir / "needlerec.ini");
  TSettingsStore beside(exe);
  try {
    beside.SaveSettings();
    ADD_FAILURE() << "saved into a folder";
  } catch (const ESettingsError& e) {
    EXPECT_NE(std::string(e.what()).find("needlerec.ini"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(fs::is_empty(dir / "needlerec.ini"));
}

class DeviceNamesTest : public ::testing::Test {
 protected:
  void TearDown() override { SetWaveDriver(nullptr); }
};

TEST_F(DeviceNamesTest, ListsEveryDeviceInNumberOrder) {
  auto driver = std::make_shared<TFakeWaveDriver>(3, 2);
  SetWaveDriver(driver);
  std::vector<std::string> names = {"stale"};
  FillOutputNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"Fake output 0", "Fake output 1", "Fake output 2"}));
  FillInputNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"Fake input 0", "Fake input 1"}));

  // A device whose capabilities call fails still takes its place, with an empty name.
  driver->ScriptResult("waveInGetDevCapsA", MMSYSERR_ERROR);
  FillInputNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"", "Fake input 1"}));
}

TEST_F(DeviceNamesTest, NoDevicesGiveEmptyLists) {
  SetWaveDriver(std::make_shared<TFakeWaveDriver>(0, 0));
  std::vector<std::string> names = {"stale"};
  FillInputNames(names);
  EXPECT_TRUE(names.empty());
  names = {"stale"};
  FillOutputNames(names);
  EXPECT_TRUE(names.empty());
}

// A driver that fills the whole name field, with no terminating zero.
class FullNameDriver : public TFakeWaveDriver {
 public:
  FullNameDriver() : TFakeWaveDriver(1, 0) {}
  MMRESULT OutGetDevCaps(uintptr_t, WAVEOUTCAPSA* caps, uint32_t) override {
    std::memset(caps, 'A', sizeof *caps);
    return MMSYSERR_NOERROR;
  }
};

TEST_F(DeviceNamesTest, NameStopsAtTheEndOfItsField) {
  SetWaveDriver(std::make_shared<FullNameDriver>());
  std::vector<std::string> names;
  FillOutputNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{std::string(31, 'A')})) << "at most 31 characters";
}

}  // namespace
