// Documents read from and written to files of the file layer.
#pragma once

#include <memory>

#include "core/xml/tag.h"
#include "core/xml/text_reader.h"
#include "core/xml/xml_stream.h"
#include "hvplug/file.h"

namespace Xml {

// Reads through an i_file. A failure the file stores is thrown (the file
// keeps it).
class FileInput final : public XmlInput {
 public:
  explicit FileInput(i_file& file) : file_(file) {}
  size_t Read(void* buffer, size_t size) override;

 private:
  i_file& file_;
};

// Writes through an o_file. A failure the file stores is thrown (the file
// keeps it); a short count is left to WriteAll.
class FileOutput final : public XmlOutput {
 public:
  explicit FileOutput(o_file& file) : file_(file) {}
  size_t Write(const void* data, size_t size) override;

 private:
  o_file& file_;
};

// LoadDocument and WriteDocument over files; both throw Common::Error.
std::unique_ptr<Tag> LoadDocument(i_file& file, ReadPosition& where);
void WriteDocument(const Tag& root, o_file& file, unsigned flags);

}  // namespace Xml
