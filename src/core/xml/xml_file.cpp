#include "core/xml/xml_file.h"

#include "core/common/error.h"
#include "core/xml/document.h"

namespace Xml {

size_t FileInput::Read(void* buffer, size_t size) {
  if (file_.Failed()) Common::Throw(file_.GetError());
  size_t transferred = 0;
  file_.Read(buffer, size, transferred);
  if (file_.Failed()) Common::Throw(file_.GetError());
  return transferred;
}

size_t FileOutput::Write(const void* data, size_t size) {
  if (file_.Failed()) Common::Throw(file_.GetError());
  size_t transferred = 0;
  file_.Write(data, size, transferred);
  if (file_.Failed()) Common::Throw(file_.GetError());
  return transferred;
}

std::unique_ptr<Tag> LoadDocument(i_file& file, ReadPosition& where) {
  FileInput input(file);
  return LoadDocument(static_cast<XmlInput&>(input), where);
}

void WriteDocument(const Tag& root, o_file& file, unsigned flags) {
  FileOutput output(file);
  WriteDocument(root, static_cast<XmlOutput&>(output), flags);
}

}  // namespace Xml
