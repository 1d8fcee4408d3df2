#include "core/file/file_testutil.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace FileTest {

ScratchDir::ScratchDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base == '/' ? base : "/tmp") + "/hvfile-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void WriteWholeFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

size_t WriteText(rio_file& file, const std::string& text) {
  size_t written = 0;
  file.Write(text.data(), text.size(), written);
  return written;
}

std::string ReadText(rio_file& file, size_t size) {
  std::string text(size, '\0');
  size_t got = 0;
  file.Read(text.data(), size, got);
  text.resize(got);
  return text;
}

std::unique_ptr<Common::MemoryFile> MemoryFileWith(const std::string& bytes) {
  auto file = Common::CreateMemoryFile();
  WriteText(*file, bytes);
  file->Rewind();
  return file;
}

Child::Child(std::function<int()> body) {
  int up[2];
  int down[2];
  if (pipe(up) != 0 || pipe(down) != 0) throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    close(up[0]);
    close(down[1]);
    const int code = body();
    char byte = static_cast<char>(code);
    if (write(up[1], &byte, 1) != 1) _exit(100);
    // Stay alive (holding whatever body acquired) until released.
    if (read(down[0], &byte, 1) < 0) _exit(101);
    _exit(code);
  }
  close(up[1]);
  close(down[0]);
  toParent_ = up[0];
  toChild_ = down[1];
}

bool Child::Ready() {
  char byte = 0;
  return read(toParent_, &byte, 1) == 1;
}

int Child::Release() {
  if (!released_) {
    released_ = true;
    close(toChild_);
    int status = 0;
    waitpid(pid_, &status, 0);
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    close(toParent_);
  }
  return status_;
}

Child::~Child() { Release(); }

int RunInChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace FileTest
