// Hands access credentials for a location to the file layer.
#pragma once

#include <string>

#include "hvplug/credentials.h"

class rio_dir;

namespace VirtualWareRaw {

// Never fails: a file layer without credentials support is left alone, any
// other refusal is traced and the caller goes on.
void SetAccessCredentialsHelper(rio_dir& root, const std::u16string& location, const Common::Credentials& credentials);

}  // namespace VirtualWareRaw
