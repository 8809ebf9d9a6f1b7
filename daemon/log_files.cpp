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
  }
  if (dir >= 0) close(dir);

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

void LogLine(std::string_view line) {
  std::string text(line);
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace tavrin
