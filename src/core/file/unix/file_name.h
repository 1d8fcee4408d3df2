// File names: UTF-16 at the interfaces, bytes in the system's encoding (ICU's
// default converter) below them. Bytes that do not decode become U+F880 to
// U+F8FF (U+F800 + byte) and go back to the same byte, so every byte name
// survives a round trip.
#pragma once

#include <string>
#include <string_view>

namespace FileLayer {

std::string FileNameToSystem(std::u16string_view name);
std::u16string FileNameFromSystem(std::string_view name);

// Joins a name (system encoding) to a directory path: a leading "/" starts
// from the root, empty components and "." are skipped, ".." goes up (never
// above "/").
std::string JoinPath(const std::string& directory, std::string_view name);

// The last component of a path ("/" for the root).
std::string_view LastComponent(std::string_view path);

// Replaces the process-wide converter with the named one (tests pin the
// encoding instead of depending on the machine's locale).
void UseFileNameConverter(const char* converterName);

}  // namespace FileLayer
