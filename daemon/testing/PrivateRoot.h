// A private file-system root in which the real TavrinDeskDaemon runs, so that its fixed paths
// ("/tmp/tavrin", "/Users/Shared/...", "/Library/LaunchAgents/...", "/bin/bash") are the test's.
//
// The root is an ordinary temporary directory holding a copy of the built bundle at
// /Applications/TavrinDesk.app, a private /etc (accounts and the loader's cache), /tmp, /run,
// /Users/Shared/<identifier>/ and /Library/LaunchAgents/. The daemon is started in a child that
// makes a private mount namespace, binds the host's /usr (read-only), /dev and /proc into the
// root, and chroots into it; those mounts die with the namespace and are never visible to the
// host, so removing the directory afterwards cannot reach the host's files. Needs root.
//
// Files are addressed by their path inside the root ("/tmp/tavrin/daemon.log"). One thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavrin::testing {

class PrivateRoot {
 public:
  static constexpr char kBundle[] = "/Applications/TavrinDesk.app";
  static constexpr char kResources[] = "/Applications/TavrinDesk.app/Contents/Resources";

  // Whether this process can make a private mount namespace; `why` says why not.
  static bool Supported(std::string* why);

  PrivateRoot();
  ~PrivateRoot();
  PrivateRoot(const PrivateRoot&) = delete;
  PrivateRoot& operator=(const PrivateRoot&) = delete;

  // The host path of `inside`.
  std::string Path(const std::string& inside) const { return root_ + inside; }
  void WriteFile(const std::string& inside, const std::string& contents, mode_t mode = 0644);
  std::string ReadFile(const std::string& inside) const { return ReadHostFile(Path(inside)); }
  // The complete lines of a file, without their newlines.
  std::vector<std::string> Lines(const std::string& inside) const;
  bool Exists(const std::string& inside) const;

  // The console user as the daemon will see it: a local login in utmp, or none at all.
  void SetUtmpConsoleUser(const std::optional<std::string>& user);

  // Starts the daemon (stdin /dev/null; stdout and stderr to files outside the root).
  void Start();
  // Waits up to `bound` for the daemon to end; its exit status, or minus the signal number.
  std::optional<int> WaitForExit(std::chrono::milliseconds bound);
  bool Running();
  // Kills the daemon and every script it started (one process group), and reaps the daemon.
  void Stop();

  // Waits up to `bound` until the file `inside` has at least `count` complete lines.
  bool WaitForLines(const std::string& inside, size_t count, std::chrono::milliseconds bound);
  // Waits up to `bound` until the configuration file has been opened `count` times since Start.
  // Each pass opens a regular configuration file exactly once, so the n-th open means passes
  // 1..n-1 are complete.
  bool WaitForConfigOpens(int count, std::chrono::milliseconds bound);
  // Waits up to `bound` until `count` passes since Start have finished reading the configuration.
  // Each pass opens the configuration directory once and closes it when done with the file, so
  // this counts passes also while the file is missing or not a regular file.
  bool WaitForPasses(int count, std::chrono::milliseconds bound);
  int Passes() const { return directoryCloses_; }
  // How often the daemon opened the entry `name` of the configuration directory since Start.
  int OpensInConfigDirectory(const std::string& name) const;

  // Stops the daemon (SIGSTOP) between two reads of the configuration: every pass started has
  // finished its read and the next has not begun. False when that did not happen within `bound`.
  bool PauseBetweenReads(std::chrono::milliseconds bound);
  // Lets a paused daemon go on. What the test itself did to the configuration directory while the
  // daemon was paused is not counted.
  void Resume();

  // What the daemon wrote to the streams it inherited, over all its starts.
  std::string InheritedStdout() const { return ReadHostFile(base_ + "/stdout"); }
  std::string InheritedStderr() const { return ReadHostFile(base_ + "/stderr"); }

 private:
  static std::string ReadHostFile(const std::string& path);
  // Reads the pending inotify events, waiting up to `timeoutMs` for the first one.
  void CountEvents(int timeoutMs);
  bool WaitForCount(const int& counter, int count, std::chrono::milliseconds bound);

  std::string base_;
  std::string root_;
  pid_t pid_ = -1;
  int inotify_ = -1;
  std::map<std::string, int> opens_;  // of entries of the configuration directory
  int directoryOpens_ = 0;
  int directoryCloses_ = 0;
};

}  // namespace tavrin::testing
