// The page's files (viewer/web/), embedded at build time or read from a directory.
#pragma once

#include <map>
#include <string>

namespace rcweb {

struct WebFile {
  std::string contentType;
  std::string body;
};

// By URL path ("/" for index.html, "/viewer.js", ...).
using WebFiles = std::map<std::string, WebFile>;

// The files embedded in the program.
WebFiles EmbeddedWebFiles();
// The regular files directly inside `dir`; empty when it cannot be read.
WebFiles WebFilesFromDirectory(const std::string& dir);
// Adds (or replaces) one file under its URL path.
void AddWebFile(WebFiles& files, const std::string& name, std::string body);

}  // namespace rcweb
