// The configuration's entry points over files of the file layer.
#include "core/common/error.h"
#include "core/xml/xml_file.h"
#include "virtual_pc/config/configuration.h"

namespace VirtualWareRaw {

ConfigurationParserImpl::ConfigurationParserImpl(i_file& file) : ConfigurationParserImpl() {
  Xml::FileInput input(file);
  LoadFrom(input);
}

bool ConfigurationParserImpl::Flush(o_file& file, bool byteOrderMark) {
  if (file.Failed()) return false;
  Xml::FileOutput output(file);
  try {
    FlushTo(output, byteOrderMark);
  } catch (const Common::Error& error) {
    // A full disk leaves no error in the file; keep it there for the caller.
    if (!file.Failed()) file.SetError(error);
    return false;
  }
  file.Flush();
  return !file.Failed();
}

}  // namespace VirtualWareRaw
