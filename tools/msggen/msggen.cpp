// Build-time generator for the message tables. The message sources are the one
// place where message texts live: resources/messages/en/*.txt name every
// message and give its English text; each other language folder translates
// the same names. Outputs: the C++ constants of the message ids, the built-in
// English table as a byte array, and one catalogue per language. Beside them,
// codes.txt names every error code ("kName value" a line), so that the code
// constants, too, have one name in one place.
//
// Source format, one entry a line:  kName <blanks> text
// "@base N" sets the id of the next entry; entries then count up by one.
// Lines starting with '#' are comments. Texts know the escapes \n \t \\.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/common/byte_order.h"
#include "core/common/utf.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kSlotCount = 1813;
constexpr uint32_t kHeaderWords = kSlotCount + 2;

struct Entry {
  std::string name;
  uint32_t id = 0;
  std::string text;  // UTF-8
  std::string where;
};

[[noreturn]] void Fail(const std::string& message) {
  std::cerr << "msggen: " << message << "\n";
  std::exit(1);
}

std::string Unescape(const std::string& text, const std::string& where) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) Fail(where + ": dangling backslash");
    switch (text[i]) {
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case '\\':
        out += '\\';
        break;
      default:
        Fail(where + ": unknown escape");
    }
  }
  return out;
}

std::vector<Entry> ReadFile(const fs::path& file, bool withIds) {
  std::ifstream in(file);
  if (!in) Fail("cannot read " + file.string());
  std::vector<Entry> entries;
  std::string line;
  uint32_t next = 0;
  bool haveBase = false;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::string where = file.string() + ":" + std::to_string(number);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line.rfind("@base ", 0) == 0) {
      next = static_cast<uint32_t>(std::stoul(line.substr(6)));
      haveBase = true;
      continue;
    }
    const size_t blank = line.find_first_of(" \t");
    if (blank == std::string::npos) Fail(where + ": entry without text");
    Entry e;
    e.name = line.substr(0, blank);
    if (e.name.size() < 2 || e.name[0] != 'k') Fail(where + ": names start with k");
    const size_t start = line.find_first_not_of(" \t", blank);
    e.text = start == std::string::npos ? std::string() : Unescape(line.substr(start), where);
    e.where = where;
    if (withIds) {
      if (!haveBase) Fail(where + ": @base must come first");
      e.id = next++;
    }
    entries.push_back(std::move(e));
  }
  return entries;
}

struct Code {
  std::string name;
  uint32_t value = 0;
  std::string text;  // as written, for the generated header
};

// Reads codes.txt: one "kName value" a line; names and values are unique.
std::vector<Code> ReadCodes(const fs::path& file) {
  std::ifstream in(file);
  if (!in) Fail("cannot read " + file.string());
  std::vector<Code> codes;
  std::set<std::string> names;
  std::map<uint32_t, std::string> values;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::string where = file.string() + ":" + std::to_string(number);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Code code;
    std::string rest;
    if (!(fields >> code.name >> code.text) || (fields >> rest)) Fail(where + ": expected a name and a value");
    if (code.name.size() < 2 || code.name[0] != 'k') Fail(where + ": names start with k");
    size_t used = 0;
    unsigned long long value = 0;
    try {
      value = std::stoull(code.text, &used, 0);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used != code.text.size() || value == 0 || value > UINT32_MAX) Fail(where + ": bad code value");
    code.value = static_cast<uint32_t>(value);
    if (!names.insert(code.name).second) Fail(where + ": duplicate name " + code.name);
    auto [at, fresh] = values.emplace(code.value, code.name);
    if (!fresh) Fail(where + ": value " + code.text + " already named " + at->second);
    codes.push_back(std::move(code));
  }
  return codes;
}

std::u16string Utf8ToUtf16(const std::string& s, const std::string& where) {
  std::u16string out;
  if (!Common::AppendUtf16(s, out)) Fail(where + ": bad UTF-8");
  return out;
}

// The set of placeholders "{n...}" a text uses; translations must keep it.
std::set<std::string> Placeholders(const std::string& text) {
  std::set<std::string> result;
  for (size_t i = 0; i + 2 < text.size(); ++i) {
    if (text[i] == '{' && text[i + 1] >= '0' && text[i + 1] <= '9') {
      size_t j = i + 1;
      while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
      result.insert(text.substr(i + 1, j - i - 1));
    }
  }
  return result;
}

// Table layout: size, header word count, one relative offset per slot, texts.
std::vector<uint8_t> BuildTable(const std::vector<std::u16string>& texts) {
  std::vector<uint8_t> out(kHeaderWords * 4, 0);
  const size_t empty = out.size();
  out.push_back(0);
  out.push_back(0);
  for (uint32_t slot = 0; slot < kSlotCount; ++slot) {
    const size_t slotPos = 8 + 4 * slot;
    size_t textPos = empty;
    if (!texts[slot].empty()) {
      textPos = out.size();
      for (char16_t c : texts[slot]) {
        Common::AppendLe(out, c, 2);
      }
      out.push_back(0);
      out.push_back(0);
    }
    Common::StoreLe32(out.data() + slotPos, static_cast<uint32_t>(textPos - slotPos));
  }
  Common::StoreLe32(out.data() + 0, static_cast<uint32_t>(out.size()));
  Common::StoreLe32(out.data() + 4, kHeaderWords);
  return out;
}

void WriteIfChanged(const fs::path& path, const std::string& content) {
  {
    std::ifstream in(path, std::ios::binary);
    if (in) {
      std::stringstream old;
      old << in.rdbuf();
      if (old.str() == content) return;
    }
  }
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << content;
  if (!out) Fail("cannot write " + path.string());
}

std::vector<fs::path> SortedTxt(const fs::path& dir) {
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".txt") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) Fail("usage: msggen MESSAGES_DIR GENERATED_DIR CATALOGUE_DIR");
  const fs::path source = argv[1], generated = argv[2], catalogues = argv[3];

  std::vector<Entry> english;
  for (const auto& f : SortedTxt(source / "en")) {
    auto part = ReadFile(f, true);
    english.insert(english.end(), part.begin(), part.end());
  }
  std::map<std::string, const Entry*> byName;
  std::map<uint32_t, const Entry*> byId;
  for (const auto& e : english) {
    if (e.id >= kSlotCount) Fail(e.where + ": id beyond the table");
    if (!byName.emplace(e.name, &e).second) Fail(e.where + ": duplicate name " + e.name);
    if (!byId.emplace(e.id, &e).second)
      Fail(e.where + ": id " + std::to_string(e.id) + " taken by " + byId[e.id]->name);
  }

  std::ostringstream ids;
  ids << "// Generated from resources/messages; do not edit.\n#pragma once\n\n#include <cstdint>\n\n"
         "namespace Msg {\n";
  for (const auto& [id, e] : byId) ids << "inline constexpr uint32_t " << e->name << " = " << id << ";\n";
  ids << "}  // namespace Msg\n";
  WriteIfChanged(generated / "core/common/message_ids.h", ids.str());

  std::ostringstream codes;
  codes << "// Generated from resources/messages/codes.txt; do not edit.\n#pragma once\n\n#include <cstdint>\n\n"
           "namespace Code {\n";
  for (const auto& c : ReadCodes(source / "codes.txt"))
    codes << "inline constexpr uint32_t " << c.name << " = " << c.text << ";\n";
  codes << "}  // namespace Code\n";
  WriteIfChanged(generated / "core/common/error_codes.h", codes.str());

  std::vector<std::u16string> texts(kSlotCount);
  for (const auto& e : english) texts[e.id] = Utf8ToUtf16(e.text, e.where);
  const auto table = BuildTable(texts);
  std::ostringstream cpp;
  cpp << "// Generated from resources/messages; do not edit.\n#include <cstddef>\n#include <cstdint>\n\n"
         "namespace Common::Detail {\nalignas(8) extern const uint8_t kBuiltinMessageTable[] = {";
  for (size_t i = 0; i < table.size(); ++i) cpp << (i % 24 ? "" : "\n") << int(table[i]) << ",";
  cpp << "\n};\nextern const size_t kBuiltinMessageTableSize = sizeof(kBuiltinMessageTable);\n}\n";
  WriteIfChanged(generated / "core/common/builtin_messages.cpp", cpp.str());

  // An empty catalogue at the root: English always falls back to the built-in table.
  WriteIfChanged(catalogues / "hvplug.msg", "");
  std::string locales;
  for (const auto& dir : fs::directory_iterator(source)) {
    const std::string lang = dir.path().filename().string();
    if (!dir.is_directory() || lang == "en") continue;
    std::map<std::string, Entry> translated;
    for (const auto& f : SortedTxt(dir.path()))
      for (auto& e : ReadFile(f, false)) {
        if (!byName.count(e.name)) Fail(e.where + ": " + e.name + " is not an English message");
        if (Placeholders(e.text) != Placeholders(byName[e.name]->text))
          Fail(e.where + ": placeholders differ from the English text");
        const std::string name = e.name;
        if (!translated.emplace(name, std::move(e)).second) Fail("duplicate translation of " + name);
      }
    std::vector<std::u16string> langTexts(kSlotCount);
    for (const auto& e : english) {
      auto it = translated.find(e.name);
      if (it == translated.end()) Fail(lang + ": no translation of " + e.name);
      langTexts[e.id] = Utf8ToUtf16(it->second.text, it->second.where);
    }
    const auto langTable = BuildTable(langTexts);
    WriteIfChanged(catalogues / lang / "hvplug.msg", std::string(langTable.begin(), langTable.end()));
    locales += lang + "\n";
  }
  WriteIfChanged(catalogues / "locales", locales);
  return 0;
}
