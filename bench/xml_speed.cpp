// Reading speed of machine files: reads each file given ROUNDS times (with
// `rewrite` also writing it back as it was each time) and prints the CPU
// time taken and the bytes written. Only meaningful as a ratio against
// another build in the same run (bench/xml_speed.sh).
//
//   xml_speed read|rewrite ROUNDS FILE...
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/common/error.h"
#include "core/xml/document.h"
#include "core/xml/text_writer.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: xml_speed read|rewrite ROUNDS FILE...\n");
    return 2;
  }
  const bool rewrite = std::string(argv[1]) == "rewrite";
  const long rounds = std::strtol(argv[2], nullptr, 10);
  std::vector<std::string> files;
  for (int i = 3; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    std::stringstream data;
    data << in.rdbuf();
    files.push_back(data.str());
  }
  size_t written = 0;
  const std::clock_t start = std::clock();
  try {
    for (long round = 0; round < rounds; ++round) {
      for (const std::string& file : files) {
        Xml::ReadPosition where;
        auto root = Xml::LoadDocument(file, where);
        written += rewrite ? Xml::TextXmlString(*root, Xml::kWriteSource).size() : root->Children.size();
      }
    }
  } catch (const Common::Error& error) {
    std::fprintf(stderr, "failed: 0x%X\n", error.Code());
    return 1;
  }
  std::printf("%.6f %zu\n", double(std::clock() - start) / CLOCKS_PER_SEC, written);
  return 0;
}
