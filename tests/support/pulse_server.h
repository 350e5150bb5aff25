// A PulseAudio daemon of a test's own: a 44.1 kHz stereo null sink "vsink" on a socket in the
// test's folder, with a reader kept on its monitor (an idle null sink stalls the next stream),
// and an ALSA configuration that reaches it as "nr_pulse" (play) and "nr_pulse_mon" (record).
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

class TPulseServer {
 public:
  ~TPulseServer() { Stop(); }

  static bool OnPath(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
  }
  // Whether the programs the server needs are installed.
  static bool Available() { return OnPath("pulseaudio") && OnPath("parec") && OnPath("pactl"); }

  // Starts the daemon with its files in `dir`, and `options` of its own; false when it does not
  // answer within 5 s (its log is in dir/pulse.log). Writes dir/asound.conf.
  bool Start(const std::filesystem::path& dir, const std::vector<std::string>& options = {}) {
    namespace fs = std::filesystem;
    fs::create_directories(dir / "run");
    fs::permissions(dir / "run", fs::perms::owner_all);
    Socket = (dir / "pulse.sock").string();
    Env = {"HOME=" + dir.string(), "XDG_RUNTIME_DIR=" + (dir / "run").string(),
           "PULSE_SERVER=unix:" + Socket};
    std::vector<std::string> argv = {
        "pulseaudio", "-n", "--daemonize=no", "--system=false", "--exit-idle-time=-1",
        "--load=module-null-sink sink_name=vsink rate=44100 channels=2",
        "--load=module-native-protocol-unix auth-anonymous=1 socket=" + Socket};
    argv.insert(argv.end(), options.begin(), options.end());
    Daemon = Spawn(argv, Env, (dir / "pulse.log").string());
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      up =
          std::system(("PULSE_SERVER=unix:" + Socket + " pactl info >/dev/null 2>&1").c_str()) == 0;
    }
    if (!up) return false;
    Monitor = Spawn({"parec", "-d", "vsink.monitor", "--raw"}, Env, "/dev/null");
    AlsaConfig = (dir / "asound.conf").string();
    std::ofstream(AlsaConfig) << "pcm.nr_pulse { type pulse server \"unix:" << Socket
                              << "\" device \"vsink\" }\n"
                              << "pcm.nr_pulse_mon { type pulse server \"unix:" << Socket
                              << "\" device \"vsink.monitor\" }\n";
    return true;
  }
  // Ends the reader and the daemon (a frozen daemon is woken first).
  void Stop() {
    End(Monitor);
    End(Daemon);
    Monitor = Daemon = -1;
  }
  // Freezes and wakes the daemon, as a sound server that stops answering.
  bool Freeze() { return Daemon > 0 && kill(Daemon, SIGSTOP) == 0; }
  void Thaw() {
    if (Daemon > 0) kill(Daemon, SIGCONT);
  }

  // Starts a program with the given environment additions; its output goes to `log`.
  static pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     const std::string& log) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    if (FILE* out = std::fopen(log.c_str(), "w")) {
      dup2(fileno(out), 1);
      dup2(fileno(out), 2);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  // Waits for a spawned program; its exit status, or -1.
  static int WaitFor(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string Socket;
  std::string AlsaConfig;
  std::vector<std::string> Env;  // HOME, XDG_RUNTIME_DIR and PULSE_SERVER of the daemon
  pid_t Daemon = -1;
  pid_t Monitor = -1;

 private:
  static void End(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGCONT);
    kill(pid, SIGTERM);
    WaitFor(pid);
  }
};
