// The command engine: a local program turns the sentence into MP3, with a deadline.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <variant>
#include <vector>

#include "common/clock.h"
#include "speech/engine.h"

extern char** environ;

namespace hub::speech {
namespace {

// What the program may print on standard error that goes into the log.
constexpr std::size_t kMostReason = 300;
constexpr std::size_t kMostAudio = 16 << 20;

struct Pipe {
  int ends[2] = {-1, -1};
  Pipe() {
    if (pipe2(ends, O_CLOEXEC) != 0) ends[0] = ends[1] = -1;
  }
  ~Pipe() {
    closeEnd(0);
    closeEnd(1);
  }
  void closeEnd(int i) {
    if (ends[i] >= 0) ::close(ends[i]);
    ends[i] = -1;
  }
  bool ok() const { return ends[0] >= 0; }
};

std::string oneLine(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (text.size() > kMostReason) text.resize(kMostReason);
  return text;
}

// Starts `sh -c command` in a process group of its own, its standard streams on the pipes' far ends, the
// voice in KASSARO_VOICE. The child's pid, or the reason it did not start.
std::variant<pid_t, std::string> spawnShell(const std::string& command, int per, Pipe& in, Pipe& out, Pipe& err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.ends[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out.ends[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err.ends[1], 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A group of its own, so that a deadline ends the whole pipeline, not only the shell.
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t none, ours;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  // The hub ignores SIGPIPE; the program's own pipeline should not.
  sigemptyset(&ours);
  sigaddset(&ours, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &ours);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "KASSARO_VOICE=", 14) != 0) env.emplace_back(*e);
  env.push_back("KASSARO_VOICE=" + std::to_string(per));
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string shell = "/bin/sh", dashC = "-c", line = command;
  char* argv[] = {shell.data(), dashC.data(), line.data(), nullptr};

  pid_t child = 0;
  const int spawned = posix_spawn(&child, "/bin/sh", &actions, &attributes, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) return std::string("cannot start /bin/sh: ") + std::strerror(spawned);
  return child;
}

// Writes the text to the program and reads its output and errors until both end or the time is up;
// false when it is.
bool exchange(const std::string& text, Pipe& in, Pipe& out, Pipe& err, std::string& audio, std::string& errors,
              clock::Millis until) {
  std::size_t written = 0;
  if (text.empty()) in.closeEnd(1);
  while (out.ends[0] >= 0 || err.ends[0] >= 0) {
    const clock::Millis left = until - clock::now();
    if (left <= 0) return false;
    pollfd fds[3] = {{in.ends[1], POLLOUT, 0}, {out.ends[0], POLLIN, 0}, {err.ends[0], POLLIN, 0}};
    if (poll(fds, 3, static_cast<int>(left)) < 0 && errno != EINTR) break;
    if (fds[0].revents) {
      const ssize_t n = ::write(in.ends[1], text.data() + written, text.size() - written);
      if (n > 0) written += n;
      if (n < 0 && errno != EAGAIN) written = text.size();  // the program does not read: its answer decides
      if (written == text.size()) in.closeEnd(1);
    }
    char buffer[16384];
    for (auto [i, into] : {std::pair{1, &audio}, std::pair{2, &errors}}) {
      if (!fds[i].revents) continue;
      Pipe& p = i == 1 ? out : err;
      const ssize_t n = ::read(p.ends[0], buffer, sizeof buffer);
      if (n > 0 && into->size() < kMostAudio) into->append(buffer, n);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) p.closeEnd(0);
    }
  }
  return true;
}

class CommandEngine final : public Engine {
 public:
  CommandEngine(std::string command, std::chrono::seconds deadline)
      : command_(std::move(command)), deadline_(deadline) {}
  std::string name() const override { return "command " + command_; }

  Rendering render(const std::string& text, int per) override {
    Pipe in, out, err;
    if (!in.ok() || !out.ok() || !err.ok()) return failed(std::string("pipe: ") + std::strerror(errno));
    const auto spawned = spawnShell(command_, per, in, out, err);
    if (const auto* why = std::get_if<std::string>(&spawned)) return failed(*why);
    const pid_t child = std::get<pid_t>(spawned);
    in.closeEnd(0);
    out.closeEnd(1);
    err.closeEnd(1);
    for (int fd : {in.ends[1], out.ends[0], err.ends[0]}) fcntl(fd, F_SETFL, O_NONBLOCK);

    Rendering r;
    std::string errors;
    const bool late = !exchange(text, in, out, err, r.audio, errors, clock::now() + deadline_.count() * 1000);
    if (late) kill(-child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (late) return failed("no answer within " + std::to_string(deadline_.count()) + " s");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      const std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                                : "signal " + std::to_string(WTERMSIG(status));
      return failed(how + (errors.empty() ? "" : ": " + oneLine(errors)));
    }
    if (r.audio.empty()) return failed("no audio on standard output" + (errors.empty() ? "" : ": " + oneLine(errors)));
    r.ok = true;
    return r;
  }

 private:
  std::string command_;
  std::chrono::seconds deadline_;
};

}  // namespace

std::unique_ptr<Engine> commandEngine(std::string command, std::chrono::seconds deadline) {
  return std::make_unique<CommandEngine>(std::move(command), deadline);
}

}  // namespace hub::speech
