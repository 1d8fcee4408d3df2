// Byte sources and sinks of the XML layer: a small read and write callback
// interface, so that documents can come from memory or from any file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Xml {

class XmlInput {
 public:
  virtual ~XmlInput() = default;
  // Reads up to size bytes; 0 at the end. Throws Common::Error on failure.
  virtual size_t Read(void* buffer, size_t size) = 0;
};

class XmlOutput {
 public:
  virtual ~XmlOutput() = default;
  // Writes up to size bytes and returns how many were taken. Throws
  // Common::Error on failure.
  virtual size_t Write(const void* data, size_t size) = 0;
};

class BufferInput final : public XmlInput {
 public:
  explicit BufferInput(std::string_view data) : data_(data) {}
  size_t Read(void* buffer, size_t size) override;

 private:
  std::string_view data_;
};

class StringOutput final : public XmlOutput {
 public:
  size_t Write(const void* data, size_t size) override {
    text.append(static_cast<const char*>(data), size);
    return size;
  }
  std::string text;
};

// Fails with kXmlTooLarge when a document of `size` bytes exceeds `limit`.
void CheckDocumentSize(size_t size, size_t limit);

// Everything the input holds, at most `limit` bytes (more fails).
std::string ReadAll(XmlInput& input, size_t limit);

// Writes all of data; a short write fails with 0x40004 "The disk is full.".
void WriteAll(XmlOutput& output, std::string_view data);

}  // namespace Xml
