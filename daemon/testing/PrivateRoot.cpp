#include "daemon/testing/PrivateRoot.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace tavrin::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr char kDaemon[] = "/Applications/TavrinDesk.app/Contents/MacOS/TavrinDeskDaemon";
const std::string kConfigDir = std::string("/Users/Shared/") + RC_BUNDLE_IDENTIFIER;

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

bool PollUntil(milliseconds bound, const std::function<bool()>& done) {
  const auto deadline = Clock::now() + bound;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

}  // namespace

bool PrivateRoot::Supported(std::string* why) {
  if (geteuid() != 0) {
    *why = "needs root for a private mount namespace";
    return false;
  }
  pid_t pid = fork();
  if (pid == 0) {
    _exit(unshare(CLONE_NEWNS) == 0 &&
                  mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
              ? 0
              : 1);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || status != 0) {
    *why = "unshare --mount is not possible here";
    return false;
  }
  return true;
}

PrivateRoot::PrivateRoot() {
  std::string templ = (fs::temp_directory_path() / "tavrin-daemon-test.XXXXXX").string();
  Check(mkdtemp(templ.data()) != nullptr, "mkdtemp");
  base_ = templ;
  root_ = base_ + "/root";
  for (const std::string dir :
       {"/usr", "/proc", "/dev", "/etc/systemd/system", "/run", "/var", "/Library/LaunchAgents",
        "/Applications", "/tmp", kConfigDir.c_str()}) {
    fs::create_directories(Path(dir));
  }
  chmod(Path("/Users/Shared").c_str(), 01777);
  chmod(Path("/tmp").c_str(), 01777);
  for (const std::string link : {"bin", "sbin", "lib", "lib64"}) {
    fs::create_directory_symlink("usr/" + link, Path("/" + link));
  }
  fs::create_directory_symlink("../run", Path("/var/run"));
  std::error_code ignored;
  for (const std::string file :
       {"passwd", "group", "nsswitch.conf", "ld.so.cache", "ld.so.conf", "ld.so.conf.d"}) {
    fs::copy("/etc/" + file, Path("/etc/" + file), fs::copy_options::recursive, ignored);
  }
  fs::copy(RC_DAEMON_BUNDLE_DIR, Path(kBundle),
           fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

PrivateRoot::~PrivateRoot() {
  Stop();
  if (inotify_ >= 0) close(inotify_);
  std::error_code ignored;
  fs::remove_all(base_, ignored);
}

void PrivateRoot::WriteFile(const std::string& inside, const std::string& contents, mode_t mode) {
  {
    std::ofstream out(Path(inside), std::ios::binary | std::ios::trunc);
    Check(static_cast<bool>(out), "write " + inside);
    out << contents;
  }
  chmod(Path(inside).c_str(), mode);
}

std::string PrivateRoot::ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> PrivateRoot::Lines(const std::string& inside) const {
  std::vector<std::string> lines;
  std::string text = ReadFile(inside);
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(text.substr(start, nl - start));
  }
  return lines;
}

bool PrivateRoot::Exists(const std::string& inside) const {
  struct stat st {};
  return lstat(Path(inside).c_str(), &st) == 0;
}

void PrivateRoot::SetUtmpConsoleUser(const std::optional<std::string>& user) {
  if (!user) {
    unlink(Path("/run/utmp").c_str());
    return;
  }
  utmp record{};
  record.ut_type = USER_PROCESS;
  record.ut_pid = 1;
  std::strncpy(record.ut_line, "tty1", sizeof record.ut_line);
  std::strncpy(record.ut_user, user->c_str(), sizeof record.ut_user);
  WriteFile("/run/utmp", std::string(reinterpret_cast<const char*>(&record), sizeof record));
}

void PrivateRoot::Start() {
  Stop();
  if (inotify_ < 0) {
    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    Check(inotify_ >= 0, "inotify_init1");
    Check(inotify_add_watch(inotify_, Path(kConfigDir).c_str(), IN_OPEN | IN_CLOSE_NOWRITE) >= 0,
          "inotify watch");
  }
  CountEvents(0);
  opens_.clear();
  directoryOpens_ = directoryCloses_ = 0;

  // Everything the child needs is prepared here: after fork it only makes system calls.
  const std::string usr = Path("/usr"), proc = Path("/proc"), dev = Path("/dev");
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int out = open((base_ + "/stdout").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int err = open((base_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  Check(in >= 0 && out >= 0 && err >= 0, "open the inherited streams");
  char* const argv[] = {const_cast<char*>("TavrinDeskDaemon"), nullptr};
  char* const envp[] = {const_cast<char*>("PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin"),
                        const_cast<char*>("LANG=C"), nullptr};
  pid_t pid = fork();
  Check(pid >= 0, "fork");
  if (pid == 0) {
    constexpr unsigned long kBind = MS_BIND | MS_REC;
    bool ok = setpgid(0, 0) == 0 && unshare(CLONE_NEWNS) == 0 &&
              mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
              mount("/usr", usr.c_str(), nullptr, kBind, nullptr) == 0 &&
              mount(nullptr, usr.c_str(), nullptr, kBind | MS_REMOUNT | MS_RDONLY, nullptr) == 0 &&
              mount("/dev", dev.c_str(), nullptr, kBind, nullptr) == 0 &&
              mount("/proc", proc.c_str(), nullptr, kBind, nullptr) == 0 &&
              chroot(root_.c_str()) == 0 && chdir("/") == 0 && dup2(in, 0) == 0 &&
              dup2(out, 1) == 1 && dup2(err, 2) == 2;
    umask(022);
    if (ok) execve(kDaemon, argv, envp);
    // Lands in the test's own output or the inherited stderr file; the exit status tells the rest.
    static constexpr char kFailed[] = "PrivateRoot: starting the daemon failed\n";
    ssize_t ignored = write(2, kFailed, sizeof kFailed - 1);
    (void)ignored;
    _exit(126);
  }
  close(in);
  close(out);
  close(err);
  pid_ = pid;
}

std::optional<int> PrivateRoot::WaitForExit(milliseconds bound) {
  int status = 0;
  if (pid_ < 0 || !PollUntil(bound, [&] { return waitpid(pid_, &status, WNOHANG) == pid_; })) {
    return std::nullopt;
  }
  kill(-pid_, SIGKILL);  // scripts left behind, if any
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

bool PrivateRoot::Running() {
  int status = 0;
  return pid_ >= 0 && waitpid(pid_, &status, WNOHANG) == 0;
}

void PrivateRoot::Stop() {
  if (pid_ < 0) return;
  kill(-pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

bool PrivateRoot::WaitForLines(const std::string& inside, size_t count, milliseconds bound) {
  return PollUntil(bound, [&] { return Lines(inside).size() >= count; });
}

void PrivateRoot::CountEvents(int timeoutMs) {
  pollfd pfd{inotify_, POLLIN, 0};
  if (poll(&pfd, 1, timeoutMs) <= 0) return;
  alignas(inotify_event) char buffer[4096];
  for (ssize_t n; (n = read(inotify_, buffer, sizeof buffer)) > 0;) {
    for (ssize_t at = 0; at < n;) {
      auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len == 0) {  // the directory itself
        if (event->mask & IN_OPEN) ++directoryOpens_;
        if (event->mask & IN_CLOSE_NOWRITE) ++directoryCloses_;
      } else if (event->mask & IN_OPEN) {
        ++opens_[event->name];
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

bool PrivateRoot::WaitForCount(const int& counter, int count, milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  while (counter < count) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    CountEvents(static_cast<int>(left));
  }
  return true;
}

bool PrivateRoot::WaitForConfigOpens(int count, milliseconds bound) {
  return WaitForCount(opens_["config.json"], count, bound);
}

bool PrivateRoot::WaitForPasses(int count, milliseconds bound) {
  return WaitForCount(directoryCloses_, count, bound);
}

int PrivateRoot::OpensInConfigDirectory(const std::string& name) const {
  auto it = opens_.find(name);
  return it == opens_.end() ? 0 : it->second;
}

bool PrivateRoot::PauseBetweenReads(milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  while (Clock::now() < deadline) {
    // A pass that opened the directory has not finished its read yet: wait for its close.
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (!WaitForCount(directoryCloses_, directoryOpens_, left)) return false;
    int status = 0;
    if (pid_ < 0 || kill(pid_, SIGSTOP) != 0 || waitpid(pid_, &status, WUNTRACED) != pid_) {
      return false;
    }
    if (!WIFSTOPPED(status)) {  // it ended on its own
      pid_ = -1;
      return false;
    }
    // Stopped: whatever it did before is in the queue now.
    CountEvents(0);
    if (directoryOpens_ == directoryCloses_) return true;
    kill(pid_, SIGCONT);
  }
  return false;
}

void PrivateRoot::Resume() {
  const auto opens = opens_;
  const int directoryOpens = directoryOpens_, directoryCloses = directoryCloses_;
  CountEvents(0);
  opens_ = opens;
  directoryOpens_ = directoryOpens;
  directoryCloses_ = directoryCloses;
  if (pid_ >= 0) kill(pid_, SIGCONT);
}

}  // namespace tavrin::testing
