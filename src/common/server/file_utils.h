// Small helpers over the file layer shared by the virtualization servers:
// existence tests, path pieces and the renaming of machine files.
#pragma once

#include <memory>
#include <string>

#include "hvplug/file.h"

namespace VirtualWareRaw {

// True when the entry exists. A failure of the file layer is traced under a
// line tag and answered as false; a missing entry is no failure.
bool FileObjectExists(ri_dir& dir, const std::u16string& name);
// True when path (absolute, or relative to root) names an existing entry.
bool FileExists(rio_dir& root, const std::u16string& path);

// The text after the last dot of the last component; empty without a dot.
std::u16string GetFileExtension(const std::u16string& fileName);
// The path without its last component ("/" for a file in the root, empty for
// a bare name).
std::u16string GetParentPath(const std::u16string& path);
// The last component of path.
std::u16string GetLastComponent(const std::u16string& path);
// directory joined with name by one '/'.
std::u16string JoinPath(const std::u16string& directory, const std::u16string& name);
// name followed by extension (which carries its own dot, e.g. u".vmc").
std::u16string MakeFileName(const std::u16string& name, const std::u16string& extension);

// Moves the error of one file object into another.
void CopyFileError(file_object& from, file_object& to);
// Throws 0x4000e when the object holds the not-supported error.
void VerifyFileObject(file_object& object);
// Throws the file layer's error (0x4000e when it does not support owners).
void SetUnixOwner(rio_dir& dir, const std::u16string& name, uint32_t uid, uint32_t gid);

// Renames the machine directory oldName to newName inside parent, then
// oldName + extension to newName + extension inside it. Throws the file
// layer's error.
void RenameVMFiles(rio_dir& parent, const std::u16string& oldName, const std::u16string& newName,
                   const std::u16string& extension);

}  // namespace VirtualWareRaw
