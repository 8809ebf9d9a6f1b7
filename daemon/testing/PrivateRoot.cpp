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
#include <iterator>
#include <sstream>
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

// Reports a failed set-up step of the child through the pipe, then ends it.
[[noreturn]] void ChildFail(int pipeFd, int step) {
  int report[2] = {step, errno};
  ssize_t ignored = write(pipeFd, report, sizeof report);
  (void)ignored;
  _exit(127);
}

}  // namespace

bool PrivateRoot::Supported(std::string* why) {
  if (geteuid() != 0) {
    *why = "needs root for a private mount namespace";
    return false;
  }
  pid_t pid = fork();
  if (pid == 0) {
    bool ok = unshare(CLONE_NEWNS) == 0 &&
              mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
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

  for (const char* dir : {"/usr", "/proc", "/dev", "/etc/systemd/system", "/run", "/var",
                          "/Library/LaunchAgents", "/Applications"}) {
    fs::create_directories(Path(dir));
  }
  fs::create_directories(Path(kConfigDir));
  chmod(Path("/Users/Shared").c_str(), 01777);
  fs::create_directories(Path("/tmp"));
  chmod(Path("/tmp").c_str(), 01777);
  for (const char* link : {"bin", "sbin", "lib", "lib64"}) {
    fs::create_directory_symlink(std::string("usr/") + link, Path(std::string("/") + link));
  }
  fs::create_directory_symlink("../run", Path("/var/run"));
  for (const char* file : {"passwd", "group", "nsswitch.conf", "ld.so.cache", "ld.so.conf"}) {
    std::error_code ignored;
    fs::copy(std::string("/etc/") + file, Path(std::string("/etc/") + file), ignored);
  }
  std::error_code ignored;
  fs::copy("/etc/ld.so.conf.d", Path("/etc/ld.so.conf.d"), fs::copy_options::recursive, ignored);
  fs::copy(RC_DAEMON_BUNDLE_DIR, Path(kBundle),
           fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

PrivateRoot::~PrivateRoot() {
  Stop();
  if (inotify_ >= 0) close(inotify_);
  std::error_code ignored;
  fs::remove_all(base_, ignored);
}

std::string PrivateRoot::Path(const std::string& inside) const {
  return root_ + inside;
}

void PrivateRoot::WriteFile(const std::string& inside, const std::string& contents, mode_t mode) {
  {
    std::ofstream out(Path(inside), std::ios::binary | std::ios::trunc);
    Check(static_cast<bool>(out), "write " + inside);
    out << contents;
  }
  chmod(Path(inside).c_str(), mode);
}

std::string PrivateRoot::ReadFile(const std::string& inside) const {
  std::ifstream in(Path(inside), std::ios::binary);
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
  std::string path = Path("/run/utmp");
  if (!user) {
    unlink(path.c_str());
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
    Check(inotify_add_watch(inotify_, Path(kConfigDir).c_str(), IN_OPEN) >= 0, "inotify watch");
  }
  DrainInotify(0);
  configOpens_ = 0;

  // Everything the child needs is prepared here: after fork it only makes system calls.
  const std::string usr = Path("/usr"), proc = Path("/proc"), dev = Path("/dev");
  int out = open((base_ + "/stdout").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int err = open((base_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  Check(out >= 0 && err >= 0, "open inherited streams");
  int report[2];
  Check(pipe2(report, O_CLOEXEC) == 0, "pipe2");
  char* const argv[] = {const_cast<char*>("TavrinDeskDaemon"), nullptr};
  char* const envp[] = {const_cast<char*>("PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin"),
                        const_cast<char*>("LANG=C"), nullptr};

  pid_t pid = fork();
  Check(pid >= 0, "fork");
  if (pid == 0) {
    close(report[0]);
    if (setpgid(0, 0) != 0) ChildFail(report[1], 1);
    if (unshare(CLONE_NEWNS) != 0) ChildFail(report[1], 2);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ChildFail(report[1], 3);
    if (mount("/usr", usr.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      ChildFail(report[1], 4);
    }
    if (mount(nullptr, usr.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
      ChildFail(report[1], 5);
    }
    if (mount("/dev", dev.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      ChildFail(report[1], 6);
    }
    if (mount("/proc", proc.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      ChildFail(report[1], 7);
    }
    if (chroot(root_.c_str()) != 0 || chdir("/") != 0) ChildFail(report[1], 8);
    int in = open("/dev/null", O_RDONLY);
    if (in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
      ChildFail(report[1], 9);
    }
    umask(022);
    execve(kDaemon, argv, envp);
    ChildFail(report[1], 10);
  }
  close(report[1]);
  close(out);
  close(err);
  int failure[2] = {0, 0};
  ssize_t n = read(report[0], failure, sizeof failure);
  close(report[0]);
  pid_ = pid;
  if (n > 0) {
    Stop();
    errno = failure[1];
    Check(false, "starting the daemon in the private root, step " + std::to_string(failure[0]));
  }
}

std::optional<int> PrivateRoot::WaitForExit(milliseconds bound) {
  if (pid_ < 0) return std::nullopt;
  const auto deadline = Clock::now() + bound;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      kill(-pid_, SIGKILL);  // scripts left behind, if any
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(milliseconds(5));
  }
}

bool PrivateRoot::Running() {
  if (pid_ < 0) return false;
  int status = 0;
  return waitpid(pid_, &status, WNOHANG) == 0;
}

void PrivateRoot::Stop() {
  if (pid_ < 0) return;
  kill(-pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

bool PrivateRoot::WaitForLines(const std::string& inside, size_t count, milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  while (Lines(inside).size() < count) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

void PrivateRoot::DrainInotify(int timeoutMs) {
  pollfd pfd{inotify_, POLLIN, 0};
  if (poll(&pfd, 1, timeoutMs) <= 0) return;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    ssize_t n = read(inotify_, buffer, sizeof buffer);
    if (n <= 0) return;
    for (ssize_t at = 0; at < n;) {
      auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if ((event->mask & IN_OPEN) && event->len && std::strcmp(event->name, "config.json") == 0) {
        ++configOpens_;
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

bool PrivateRoot::WaitForConfigOpens(int count, milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  while (configOpens_ < count) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    DrainInotify(static_cast<int>(left));
  }
  return true;
}

std::string PrivateRoot::InheritedStdout() const {
  std::ifstream in(base_ + "/stdout", std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string PrivateRoot::InheritedStderr() const {
  std::ifstream in(base_ + "/stderr", std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace tavrin::testing
