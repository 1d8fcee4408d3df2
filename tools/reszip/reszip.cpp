// Build-time packer of the resource archive: every file below the catalogue
// folder keeps its relative name; the extra files go to the archive root.
#include <zip.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: reszip ARCHIVE CATALOGUE_DIR [ROOT_FILE...]\n");
    return 1;
  }
  fs::remove(argv[1]);
  int error = 0;
  zip_t* archive = zip_open(argv[1], ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (!archive) {
    std::fprintf(stderr, "reszip: cannot create %s\n", argv[1]);
    return 1;
  }
  auto add = [&](const fs::path& file, const std::string& name) {
    zip_source_t* source = zip_source_file(archive, file.c_str(), 0, -1);
    if (!source || zip_file_add(archive, name.c_str(), source, ZIP_FL_OVERWRITE) < 0) {
      std::fprintf(stderr, "reszip: cannot add %s\n", file.c_str());
      std::exit(1);
    }
  };
  for (const auto& entry : fs::recursive_directory_iterator(argv[2]))
    if (entry.is_regular_file()) add(entry.path(), fs::relative(entry.path(), argv[2]).generic_string());
  for (int i = 3; i < argc; ++i) add(argv[i], fs::path(argv[i]).filename().string());
  if (zip_close(archive) != 0) {
    std::fprintf(stderr, "reszip: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
