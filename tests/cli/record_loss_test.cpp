// A recording that ends early or loses audio says so, and what was saved stays readable: a full
// disk, a refused write, a frozen disk, a closed terminal or pipe, a killed recorder, and a file
// deleted, moved or wanted by another recording while it is written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <string>
#include <thread>

#include "tests/cli/cli_run.h"
#include "tests/support/files.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The commands run with only the virtual devices, the input at `speed` times real time.
std::string Env(int speed) {
  return "NEEDLEREC_ALSA_DEVICES= NEEDLEREC_VIRTUAL_SPEED=" + std::to_string(speed);
}

// A child running `command` under sh with its standard output (and error) on a pipe.
struct Child {
  pid_t pid = -1;
  int out = -1;
  explicit Child(const std::string& command) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid = fork();
    if (pid == 0) {
      dup2(fds[1], 1);
      dup2(fds[1], 2);
      close(fds[0]);
      close(fds[1]);
      execl("/bin/sh", "sh", "-c", ("exec env " + command).c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    out = fds[0];
  }
  ~Child() {
    if (out >= 0) close(out);
    if (pid > 0) Wait();
  }
  // Reads until `text` has appeared; false at the end of the output.
  bool ReadUntil(const std::string& text, std::string& seen) {
    char c;
    while (seen.find(text) == std::string::npos) {
      if (read(out, &c, 1) != 1) return false;
      seen.push_back(c);
    }
    return true;
  }
  std::string ReadAll() {
    std::string all;
    char buffer[4096];
    ssize_t n;
    while ((n = read(out, buffer, sizeof buffer)) > 0) all.append(buffer, size_t(n));
    return all;
  }
  // The exit status, or -signal.
  int Wait() {
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1000;
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
};

using testfiles::Le32;
using testfiles::ReadFile;

// The data bytes of a recording (its header: form, room for RF64's sizes, fmt, data header of
// 80 bytes in all), checked against its RIFF size and length.
int64_t DataBytes(const fs::path& file) {
  const std::string bytes = ReadFile(file);
  if (bytes.size() < 80 || bytes.compare(72, 4, "data") != 0) return -1;
  const uint32_t data = Le32(bytes, 76);
  EXPECT_EQ(Le32(bytes, 4), 72 + data);
  EXPECT_GE(bytes.size(), 80 + data);
  return data;
}

// "recorded N bytes" of the command's output.
int64_t RecordedBytes(const std::string& out) {
  std::smatch m;
  if (!std::regex_search(out, m, std::regex("recorded (\\d+) bytes"))) return -1;
  return std::stoll(m[1]);
}

class RecordLoss : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testfiles::TestFolder("needlerec-loss");
  }
  void TearDown() override {
    if (!mount_.empty()) {
      Shell("fsfreeze -u " + mount_.string());
      umount2(mount_.c_str(), MNT_DETACH);
    }
    fs::remove_all(dir_);
  }
  // Mounts a file system of its own for the recording; false (and a reason) when the machine
  // does not let the test mount one.
  bool Mount(const std::string& how, std::string& why) {
    if (geteuid() != 0) {
      why = "mounting a file system needs root";
      return false;
    }
    mount_ = dir_ / "mnt";
    fs::create_directories(mount_);
    const CliRun run = Shell(how + " " + mount_.string());
    if (run.status != 0) {
      why = "cannot mount: " + run.out;
      mount_.clear();
      return false;
    }
    return true;
  }
  fs::path dir_, mount_;
};

TEST_F(RecordLoss, UsageErrorsOfTheRecordingLimits) {
  for (const char* words : {"--seconds 0", "--seconds 0.0004", "--seconds 3000000", "--seconds x",
                            "--buffer 0", "--buffer 601"}) {
    SCOPED_TRACE(words);
    const CliRun run = Shell(Env(10) + " " NEEDLEREC_CLI " record --device virtual " +
                             (dir_ / "x.wav").string() + " " + words);
    EXPECT_EQ(run.status, 2) << run.out;
    // The message shows the accepted forms and the range.
    EXPECT_NE(
        run.out.find(" must be a duration such as 90, 90.5, 1:30, 1:02:03.5, 90s, 5m or 2h ("),
        std::string::npos)
        << run.out;
    EXPECT_FALSE(fs::exists(dir_ / "x.wav"));
  }
}

// A recording whose file cannot grow: the run stops at once, says why and how much it saved,
// exits 3, and the file holds exactly what it reports.
TEST_F(RecordLoss, AFileThatCannotGrowStopsTheRecordingAndSaysWhy) {
  struct Case {
    const char* name;
    bool mountTmpfs;  // a small file system that fills up
    const char* shellPrefix;
    const char* reason;
    int64_t exactData;  // the data the file must hold, when it is known (else 0)
  };
  const Case cases[] = {
      {"disk full", true, "", "The disk is full: the recording was stopped and saved (", 0},
      // A file-size limit of 256 blocks of 512 bytes: the program keeps the limit's signal
      // (SIGXFSZ) from killing it, the system refuses the write, and every whole frame below the
      // limit is kept.
      {"file-size limit", false, "ulimit -f 256; ",
       "rec.wav: The file could not be written (File too large): the recording was stopped and "
       "saved (",
       131072 - 80},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path folder = dir_;
    if (c.mountTmpfs) {
      std::string why;
      if (!Mount("mount -t tmpfs -o size=400k tmpfs", why)) {
        std::printf("skipped the %s case: %s\n", c.name, why.c_str());
        continue;
      }
      folder = mount_;
    }
    const fs::path file = folder / "rec.wav";
    const auto began = Clock::now();
    const CliRun run =
        Shell(std::string("sh -c \"") + c.shellPrefix + "exec env " + Env(10) +
              " " NEEDLEREC_CLI " record --device virtual " + file.string() + " --seconds 600\"");
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(30)) << "it stopped; it did not go on";
    EXPECT_EQ(run.status, 3) << run.out;
    EXPECT_NE(run.out.find(c.reason), std::string::npos) << run.out;
    const int64_t data = DataBytes(file);
    EXPECT_GT(data, 100000);
    if (c.exactData) {
      EXPECT_EQ(data, c.exactData);
    }
    EXPECT_EQ(RecordedBytes(run.out), data) << run.out;
    if (c.mountTmpfs) {
      umount2(mount_.c_str(), MNT_DETACH);
      mount_.clear();
    }
  }
}

// A disk that stops taking data for longer than the queue holds: the loss is counted and
// reported exactly, the file holds the rest, and the exit status says so.
TEST_F(RecordLoss, AFrozenDiskLosesAudioOnlyBeyondTheBufferAndSaysHowMuch) {
  std::string why;
  const fs::path image = dir_ / "disk.img";
  Shell("truncate -s 64M " + image.string() + " && mkfs.ext4 -q -F " + image.string());
  if (!Mount("mount -o loop " + image.string(), why)) GTEST_SKIP() << why;
  const fs::path file = mount_ / "rec.wav";
  // Ten times real time: 3 s of audio a wall second, a queue of 0.5 s of audio.
  Child rec(Env(10) + " " NEEDLEREC_CLI " record --device virtual " + file.string() +
            " --seconds 60 --buffer 0.5");
  std::string seen;
  ASSERT_TRUE(rec.ReadUntil("recording", seen)) << seen;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_EQ(Shell("fsfreeze -f " + mount_.string()).status, 0);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  ASSERT_EQ(Shell("fsfreeze -u " + mount_.string()).status, 0);
  seen += rec.ReadAll();
  const int status = rec.Wait();
  EXPECT_EQ(status, 3) << seen;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(seen, m,
                                std::regex("lost (\\d+\\.\\d{3}) s of audio \\((\\d+) sample "
                                           "frames\\) in (\\d+) dropouts")))
      << seen;
  const int64_t lostFrames = std::stoll(m[2]);
  EXPECT_GT(lostFrames, 44100 * 5) << "about 20 s of audio came while the disk was frozen";
  EXPECT_GE(std::stoi(m[3]), 1);
  const int64_t data = DataBytes(file);
  EXPECT_EQ(RecordedBytes(seen), data);
  // Everything the device delivered is either in the file or counted as lost.
  EXPECT_EQ(data / 4 + lostFrames, 60 * 44100) << seen;
}

// A closed terminal and a reader that went away end the recording the normal way.
TEST_F(RecordLoss, HangupAndABrokenPipeFinishTheFile) {
  const fs::path hup = dir_ / "hup.wav", pipe = dir_ / "pipe.wav";
  {
    Child rec(Env(10) + " " NEEDLEREC_CLI " record --device virtual " + hup.string());
    std::string seen;
    ASSERT_TRUE(rec.ReadUntil(" dBFS ", seen)) << seen;  // the first meter lines
    kill(rec.pid, SIGHUP);
    seen += rec.ReadAll();
    EXPECT_EQ(rec.Wait(), 0) << seen;
    EXPECT_NE(seen.find("interrupted"), std::string::npos) << seen;
    EXPECT_EQ(RecordedBytes(seen), DataBytes(hup));
    EXPECT_GT(DataBytes(hup), 0);
  }
  {
    // The reader takes the first line and goes; the next line the recorder writes breaks
    // the pipe.
    const fs::path status = dir_ / "status";
    const CliRun run = Shell("(" + Env(10) + " " NEEDLEREC_CLI " record --device virtual " +
                             pipe.string() + "; echo $? > " + status.string() + ") | head -n 1");
    EXPECT_EQ(run.out, "recording " + pipe.string() + " from Virtual input (test signal)\n");
    EXPECT_EQ(ReadFile(status), "0\n");
    EXPECT_GT(DataBytes(pipe), 0);
  }
}

// Killed without warning at a random moment, a real-time recording still reads in other tools
// to within about a second and a half of the time it ran.
TEST_F(RecordLoss, AKilledRecorderLeavesAFileThatReadsToAboutItsLastSecond) {
  if (Shell("command -v sox").status != 0)
    GTEST_SKIP() << "sox is installed by scripts/install-deps";
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const fs::path file = dir_ / ("killed" + std::to_string(round) + ".wav");
    Child rec(Env(1) + " " NEEDLEREC_CLI " record --device virtual " + file.string());
    std::string seen;
    ASSERT_TRUE(rec.ReadUntil("recording", seen)) << seen;
    const auto began = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500 + random() % 2500));
    const double ran = std::chrono::duration<double>(Clock::now() - began).count();
    kill(rec.pid, SIGKILL);
    EXPECT_EQ(rec.Wait(), -SIGKILL);
    const CliRun length = Shell("sox --i -D " + file.string());
    ASSERT_EQ(length.status, 0) << length.out;
    const double seconds = std::stod(length.out);
    EXPECT_NEAR(seconds, ran, 1.5) << "ran " << ran << " s, the file reads " << seconds << " s";
  }
}

// A file deleted while it is recorded (or its folder) takes what it holds with it: the recorder
// sees it within about a second, stops, and says how much is gone.
TEST_F(RecordLoss, ADeletedTakeStopsTheRecordingAndSaysWhatIsGone) {
  for (const bool folder : {false, true}) {
    SCOPED_TRACE(folder ? "the folder deleted" : "the file deleted");
    const fs::path where = dir_ / "takes", file = where / "rec.wav";
    fs::create_directories(where);
    const auto began = Clock::now();
    Child rec(Env(1) + " " NEEDLEREC_CLI " record --device virtual " + file.string() +
              " --seconds 60 --quiet");
    std::string seen;
    ASSERT_TRUE(rec.ReadUntil("recording", seen)) << seen;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    fs::remove_all(folder ? where : file);
    seen += rec.ReadAll();
    EXPECT_EQ(rec.Wait(), 3) << seen;
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(30)) << "it stopped; it did not go on";
    EXPECT_TRUE(std::regex_search(
        seen, std::regex("rec\\.wav: The take is lost: the file was deleted while recording: "
                         "\\d+\\.\\d s of audio are gone\\.")))
        << seen;
    EXPECT_FALSE(fs::exists(file));
  }
}

// A take is never replaced by another recording: without --overwrite an existing file is
// refused; with it, one that another recording holds open is refused too, and a finished one is
// replaced only once the new take is complete.
TEST_F(RecordLoss, ATakeIsNeverReplacedWhileItIsRecordedAndOnlyOnceTheNewOneIsComplete) {
  const fs::path file = dir_ / "take.wav";
  const std::string record = Env(1) + " " NEEDLEREC_CLI " record --device virtual " + file.string();
  {
    Child first(record + " --seconds 3 --quiet");
    std::string seen;
    ASSERT_TRUE(first.ReadUntil("recording", seen)) << seen;
    const CliRun plain = Shell(record + " --seconds 1");
    EXPECT_EQ(plain.status, 1) << plain.out;
    EXPECT_EQ(plain.out,
              "needlerec-cli: " + file.string() + " exists (-y or --overwrite replaces it)\n");
    const CliRun overwrite = Shell(record + " --seconds 1 -y");
    EXPECT_EQ(overwrite.status, 1) << overwrite.out;
    EXPECT_NE(overwrite.out.find("the file is being recorded by another program"),
              std::string::npos)
        << overwrite.out;
    seen += first.ReadAll();
    EXPECT_EQ(first.Wait(), 0) << seen;
    EXPECT_EQ(DataBytes(file), 3 * 176400) << "the first take is whole";
  }
  const std::string old = ReadFile(file);
  Child second(record + " --seconds 2 --overwrite --quiet");
  std::string seen;
  ASSERT_TRUE(second.ReadUntil("recording", seen)) << seen;
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_EQ(ReadFile(file), old) << "the old take stays until the new one is complete";
  seen += second.ReadAll();
  EXPECT_EQ(second.Wait(), 0) << seen;
  EXPECT_EQ(DataBytes(file), 2 * 176400);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1)
      << "nothing is left beside the take";
}

// A file moved while it is recorded keeps the take: the recording goes on to its end and says
// where the take is now.
TEST_F(RecordLoss, AMovedTakeIsRecordedToItsEndAndFound) {
  const fs::path file = dir_ / "rec.wav", moved = dir_ / "moved.wav";
  Child rec(Env(1) + " " NEEDLEREC_CLI " record --device virtual " + file.string() +
            " --seconds 3 --quiet");
  std::string seen;
  ASSERT_TRUE(rec.ReadUntil("recording", seen)) << seen;
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  fs::rename(file, moved);
  seen += rec.ReadAll();
  EXPECT_EQ(rec.Wait(), 3) << seen;
  EXPECT_NE(seen.find("rec.wav: The file was moved while recording: the take is now " +
                      moved.string() + "."),
            std::string::npos)
      << seen;
  EXPECT_EQ(DataBytes(moved), 3 * 176400);
}

}  // namespace
