#include "daemon/log_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "daemon/config_pass.h"

namespace tavrin {
namespace {

// The log directory, kept open once it has passed the checks, and whether each stream was
// redirected into it. Only the daemon's thread touches them.
int logDirectory = -1;
bool stdoutInLog = false;
bool stderrInLog = false;

// Why the log directory cannot hold our logs, or empty when it can.
std::string CheckDirectory(int dir, int openErrno) {
  if (dir < 0) {
    if (openErrno == ELOOP || openErrno == ENOTDIR) {
      return std::string(kLogDirectory) + " is a symbolic link or not a directory";
    }
    return std::string(kLogDirectory) + ": " + std::strerror(openErrno);
  }
  struct stat st {};
  if (fstat(dir, &st) != 0) return std::string(kLogDirectory) + ": " + std::strerror(errno);
  if (st.st_uid != geteuid()) return std::string(kLogDirectory) + " is owned by another user";
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    return std::string(kLogDirectory) + " is writable by other users";
  }
  return {};
}

// Points `fd` (and so `stream`) at `name` inside `dir`. Returns the reason on refusal.
std::string RedirectInto(int dir, const char* name, FILE* stream, int fd) {
  const std::string path = std::string(kLogDirectory) + "/" + name;
  int log = openat(dir, name, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (log < 0) {
    if (errno == ELOOP) return path + " is a symbolic link";
    return path + ": " + std::strerror(errno);
  }
  struct stat st {};
  std::string problem;
  if (fstat(log, &st) != 0) {
    problem = path + ": " + std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    problem = path + " is not a regular file";
  } else if (st.st_uid != geteuid()) {
    problem = path + " is owned by another user";
  } else if (st.st_nlink != 1) {
    problem = path + " has other hard links";
  }
  if (problem.empty()) {
    std::fflush(stream);
    if (dup2(log, fd) < 0) problem = path + ": " + std::strerror(errno);
    std::clearerr(stream);
  }
  close(log);
  return problem;
}

// Renames the log `name` to `name`.1 and points the stream at a new `name`, once it has reached
// kLogRotateBytes. The directory passed the checks at start-up and only its owner (the daemon's
// user) can change it since, so a rename inside it cannot be redirected; it replaces whatever is
// at ".1", a planted link included, without following it. The new log gets the checks of
// start-up. Should either step fail, the stream's file is emptied instead, so the log stays
// bounded all the same, and the reason goes into it.
void RotateIfLarge(const char* name, FILE* stream, int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || static_cast<size_t>(st.st_size) < kLogRotateBytes) return;
  std::fflush(stream);
  const std::string rotated = std::string(name) + ".1";
  std::string problem;
  if (renameat(logDirectory, name, logDirectory, rotated.c_str()) != 0) {
    problem =
        "renaming to " + std::string(kLogDirectory) + "/" + rotated + ": " + std::strerror(errno);
  } else {
    problem = RedirectInto(logDirectory, name, stream, fd);
  }
  if (problem.empty()) return;
  if (ftruncate(fd, 0) != 0) return;
  std::fprintf(stream, "TavrinDeskDaemon: cannot rotate %s/%s (%s); emptied it instead\n",
               kLogDirectory, name, problem.c_str());
}

}  // namespace

void RedirectLogStreams() {
  // 0755 rather than 0777 & ~umask: a daemon started with umask 0 must not make the directory
  // writable by everybody.
  mkdir(kLogDirectory, 0755);

  int dir = open(kLogDirectory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  const int openErrno = errno;
  const std::string dirProblem = CheckDirectory(dir, openErrno);
  std::string outProblem = dirProblem;
  std::string errProblem = dirProblem;
  if (dirProblem.empty()) {
    outProblem = RedirectInto(dir, kStdoutLogName, stdout, STDOUT_FILENO);
    errProblem = RedirectInto(dir, kStderrLogName, stderr, STDERR_FILENO);
    stdoutInLog = outProblem.empty();
    stderrInLog = errProblem.empty();
  }
  if (stdoutInLog || stderrInLog) {
    logDirectory = dir;
  } else if (dir >= 0) {
    close(dir);
  }

  std::setbuf(stdout, nullptr);
  std::setbuf(stderr, nullptr);

  if (!outProblem.empty()) {
    std::fprintf(stdout, "TavrinDeskDaemon: not logging to %s/%s (%s); keeping standard output\n",
                 kLogDirectory, kStdoutLogName, outProblem.c_str());
  }
  if (!errProblem.empty()) {
    std::fprintf(stderr, "TavrinDeskDaemon: not logging to %s/%s (%s); keeping standard error\n",
                 kLogDirectory, kStderrLogName, errProblem.c_str());
  }
}

void RotateLargeLogs() {
  if (stdoutInLog) RotateIfLarge(kStdoutLogName, stdout, STDOUT_FILENO);
  if (stderrInLog) RotateIfLarge(kStderrLogName, stderr, STDERR_FILENO);
}

void LogLine(std::string_view line) {
  std::string text(line);
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace tavrin
