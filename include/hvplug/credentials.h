// Access credentials handed to machine operations.
#pragma once

#include <string>

namespace Common {

struct Credentials {
  std::u16string userName;  // empty: no credentials
  std::u16string password;
  bool flag1 = false;
  bool flag2 = false;

  bool Empty() const { return userName.empty(); }
};

}  // namespace Common
