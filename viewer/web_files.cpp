#include "viewer/web_files.h"

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace rcweb {

namespace {

std::string ContentType(const std::string& name) {
  auto dot = name.rfind('.');
  std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (ext == "html") return "text/html; charset=utf-8";
  if (ext == "js") return "text/javascript; charset=utf-8";
  if (ext == "css") return "text/css; charset=utf-8";
  if (ext == "json") return "application/json";
  if (ext == "png") return "image/png";
  if (ext == "svg") return "image/svg+xml";
  if (ext == "ico") return "image/x-icon";
  return "application/octet-stream";
}

}  // namespace

void AddWebFile(WebFiles& files, const std::string& name, std::string body) {
  std::string path = name == "index.html" ? "/" : "/" + name;
  files[path] = WebFile{ContentType(name), std::move(body)};
}

WebFiles WebFilesFromDirectory(const std::string& dir) {
  WebFiles files;
  DIR* d = opendir(dir.c_str());
  if (!d) return files;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.empty() || name[0] == '.') continue;
    std::string path = dir + "/" + name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    AddWebFile(files, name, s.str());
  }
  closedir(d);
  return files;
}

}  // namespace rcweb
