// Helpers for the machine and server-utility tests: scratch directories, the
// agent's root directory and captured trace lines.
#pragma once

#include <ftw.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "core/common/error.h"
#include "hvplug/file.h"
#include "hvplug/file_services.h"

namespace ServerTest {

class Scratch {
 public:
  Scratch() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/hvvm.XXXXXX";
    path_ = mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~Scratch() {
    nftw(
        path_.c_str(), [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  const std::string& path() const { return path_; }
  std::u16string wpath() const { return Common::Utf8ToUtf16(path_); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The agent's root directory, as its file services hand it out.
inline std::shared_ptr<rio_dir> AgentRoot() {
  auto services = HostCreateFileServices("/");
  std::shared_ptr<rio_dir> root;
  EXPECT_TRUE(services->GetRootDir(root).IsSuccess());
  return root;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Sends the stand-in tracer's lines to a file for the life of the object.
class TraceCapture {
 public:
  explicit TraceCapture(const Scratch& scratch) : path_(scratch / "trace.log") {
    const char* old = std::getenv("HVHOST_TRACE_FILE");
    if (old) old_ = old, hadOld_ = true;
    setenv("HVHOST_TRACE_FILE", path_.c_str(), 1);
  }
  ~TraceCapture() {
    if (hadOld_)
      setenv("HVHOST_TRACE_FILE", old_.c_str(), 1);
    else
      unsetenv("HVHOST_TRACE_FILE");
  }
  std::string Lines() const { return ReadFile(path_); }

 private:
  std::string path_;
  std::string old_;
  bool hadOld_ = false;
};

}  // namespace ServerTest
