// Helpers for the file-layer tests: scratch directories and child processes.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/file/memory_file.h"

namespace FileTest {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;

  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteWholeFile(const std::string &path, const std::string &contents);
std::string ReadWholeFile(const std::string &path);
// A name of ASCII characters in UTF-16 as a narrow string.
inline std::string Narrow(const std::u16string &text) { return std::string(text.begin(), text.end()); }

// Writes text at the file's position; the count written.
size_t WriteText(rio_file &file, const std::string &text);
// Reads up to size bytes from the file's position.
std::string ReadText(rio_file &file, size_t size);
// A memory file holding bytes, positioned at the start.
std::unique_ptr<Common::MemoryFile> MemoryFileWith(const std::string &bytes);
// The code of the error a file object stored for result, taken; 0 when result
// is success.
template <class Object, class Result>
uint32_t FailureCode(Object &object, const Result &result) {
  return result ? 0u : object.TakeError().Code();
}
// The directory's path, or "<no path>".
inline std::u16string PathOf(i_dir &dir) {
  std::u16string path;
  return dir.GetPath(path) ? path : u"<no path>";
}

// A child process that runs body and then waits for Release(); body returns
// the child's exit code (0 for success). Ready() blocks until body has run.
class Child {
 public:
  explicit Child(std::function<int()> body);
  ~Child();
  // Waits until body returned; false if the child died first.
  bool Ready();
  // Lets the child exit and returns its exit code (-1 when it crashed).
  int Release();

 private:
  int pid_ = -1;
  int toParent_ = -1;
  int toChild_ = -1;
  bool released_ = false;
  int status_ = -1;
};

// Runs body in a child process and returns its exit code (-1 on a crash).
int RunInChild(const std::function<int()> &body);

}  // namespace FileTest
