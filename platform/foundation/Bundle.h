// NSBundle stand-in: a program's bundle, its identifier and its resources.
//
// A bundle keeps the macOS shape on every platform:
//   <bundle>/Contents/MacOS/<executable>
//   <bundle>/Contents/Info.plist          (XML or binary property list; CFBundleIdentifier)
//   <bundle>/Contents/Resources/<name>.<type>
// A program that does not sit in Contents/MacOS has a flat main bundle: the directory of the
// executable, whose resources lie directly in it and which has no Info.plist unless one sits at
// <dir>/Contents/Info.plist.
//
// Objects are immutable after construction and may be shared between threads. Nothing is cached
// except the bundle path: every resource lookup and every identifier read goes to the file system,
// so a resource added to or removed from a running program's bundle is seen at the next call.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace foundation {

class NSBundle {
 public:
  // The bundle of the running executable, found from /proc/self/exe. Null when that link cannot
  // be read (no /proc). The object is made once per process.
  static std::shared_ptr<const NSBundle> mainBundle();

  // The bundle rooted at `path` (a directory; a trailing slash is ignored). Never null; whether
  // the directory holds anything is found out by the accessors.
  static std::shared_ptr<const NSBundle> bundleWithPath(const std::string& path);

  // The bundle that holds `executablePath`: three levels up when the executable sits in
  // <bundle>/Contents/MacOS/, else the executable's directory (a flat bundle).
  static std::shared_ptr<const NSBundle> bundleForExecutable(const std::string& executablePath);

  explicit NSBundle(std::string bundlePath, bool flat = false);

  const std::string& bundlePath() const { return bundlePath_; }

  // The string CFBundleIdentifier of Contents/Info.plist, unchanged. None when the file is missing
  // or unreadable, is not a property list whose root is a dictionary, or has no such string key.
  std::optional<std::string> bundleIdentifier() const;

  // The full path of <name>.<type> (just <name> when `type` is empty) in the resources directory,
  // or none when nothing of that name exists there. A name holding "/" or equal to "." or ".." is
  // never found, so a lookup cannot leave the resources directory.
  std::optional<std::string> pathForResource(const std::string& name,
                                             const std::string& type) const;

  // <bundle>/Contents/Resources, or the bundle directory itself for a flat bundle.
  std::string resourcePath() const;

 private:
  std::string bundlePath_;
  bool flat_;
};

}  // namespace foundation
