// Reading and writing the ".reg" text form of a registry hive.
#include "platform/registry_file.h"

#include <cstdio>
#include <optional>

#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr size_t kHexLineWidth = 76;

std::string_view TrimView(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Up to maxDigits hex digits, at least one, and nothing else.
std::optional<uint32_t> ParseHexNumber(std::string_view text, size_t maxDigits) {
  text = TrimView(text);
  if (text.empty() || text.size() > maxDigits) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<uint32_t>(digit);
  }
  return value;
}

std::vector<uint8_t> Utf16Bytes(std::u16string_view text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  return bytes;
}

// Orders the upper-case forms of value names, counting what it compares.
struct CountingNameLess {
  uint64_t* comparisons = nullptr;
  bool operator()(const std::u16string& a, const std::u16string& b) const {
    if (comparisons != nullptr) ++*comparisons;
    return a < b;
  }
};

// One file being parsed: the cursor over its lines and the tree it fills.
class RegParser {
 public:
  RegParser(std::string_view text, const std::string& fileName, std::u16string_view rootName,
            RegistryTree& tree, RegParseCounts* counts)
      : text_(text), fileName_(fileName), rootName_(Utf16ToUtf8(rootName)), tree_(tree),
        counts_(counts) {}

  bool Run(std::string& problem) {
    bool ok = ParseAll();
    if (!ok) problem = fileName_ + ":" + std::to_string(errorLine_) + ": " + error_;
    return ok;
  }

 private:
  bool NextLine(std::string_view& line) {
    if (position_ >= text_.size()) return false;
    size_t end = text_.find('\n', position_);
    if (end == std::string_view::npos) end = text_.size();
    line = text_.substr(position_, end - position_);
    position_ = end + 1;
    ++lineNumber_;
    return true;
  }

  bool Fail(const std::string& what) {
    error_ = what;
    errorLine_ = lineNumber_;
    return false;
  }

  bool ParseAll() {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") position_ = 3;
    std::string_view line;
    bool sawHeader = false;
    while (NextLine(line)) {
      line = TrimView(line);
      if (line.empty() || line[0] == ';') continue;
      if (!sawHeader) {
        if (line != kHeader) return Fail("the first line is not \"" + std::string(kHeader) + "\"");
        sawHeader = true;
        continue;
      }
      bool ok = line[0] == '[' ? ParseKeyLine(line) : ParseValueLine(line);
      if (!ok) return false;
    }
    if (!sawHeader) return Fail("the file has no \"" + std::string(kHeader) + "\" line");
    return true;
  }

  bool ParseKeyLine(std::string_view line) {
    if (line.back() != ']') return Fail("a key line does not end with ']'");
    std::string_view name = line.substr(1, line.size() - 2);
    if (!name.empty() && name[0] == '-') return Fail("key deletions do not belong in a stored hive");
    std::u16string wide = Utf8ToUtf16(name);
    std::u16string root = Utf8ToUtf16(rootName_);
    if (wide.size() < root.size() || !EqualsNoCase(wide.substr(0, root.size()), root) ||
        (wide.size() > root.size() && wide[root.size()] != u'\\')) {
      return Fail("the key lies outside " + rootName_);
    }
    std::u16string path = wide.size() > root.size() ? wide.substr(root.size() + 1) : u"";
    if (!path.empty() && (path.front() == u'\\' || path.back() == u'\\' ||
                          path.find(u"\\\\") != std::u16string::npos)) {
      return Fail("the key name has an empty part");
    }
    AddKeyWithParents(tree_, path);
    currentKey_ = &tree_.find(path)->second;
    return true;
  }

  // Reads a quoted text starting at line[at] == '"'; at ends after the closing quote.
  bool ParseQuoted(std::string_view line, size_t& at, std::string& out) {
    out.clear();
    for (++at; at < line.size(); ++at) {
      char c = line[at];
      if (c == '"') {
        ++at;
        return true;
      }
      if (c == '\\') {
        if (++at >= line.size()) break;
        if (line[at] != '\\' && line[at] != '"') return Fail("unknown escape \"\\" + std::string(1, line[at]) + "\"");
      }
      out += line[at];
    }
    return Fail("a quoted text is not closed");
  }

  bool ParseValueLine(std::string_view line) {
    if (currentKey_ == nullptr) return Fail("a value comes before any key");
    int firstLine = lineNumber_;
    RegValue value;
    size_t at = 0;
    if (line[0] == '@') {
      at = 1;
    } else if (line[0] == '"') {
      std::string name;
      if (!ParseQuoted(line, at, name)) return false;
      value.name = Utf8ToUtf16(name);
    } else {
      return Fail("a line is neither a key, a value nor a comment");
    }
    std::string_view rest = TrimView(line.substr(at));
    if (rest.empty() || rest[0] != '=') return Fail("a value name is not followed by '='");
    rest = TrimView(rest.substr(1));
    std::string joined;
    if (rest.substr(0, 3) == "hex") {
      joined = JoinContinuations(rest);
      rest = joined;
    }
    if (!ParseData(rest, value)) {
      errorLine_ = firstLine;
      return false;
    }
    SetValue(std::move(value));
    return true;
  }

  // A hex list goes on over the following lines while a line ends with '\'.
  std::string JoinContinuations(std::string_view first) {
    std::string joined(first);
    std::string_view next;
    while (!joined.empty() && joined.back() == '\\' && NextLine(next)) {
      joined.pop_back();
      joined += TrimView(next);
    }
    return joined;
  }

  bool ParseData(std::string_view data, RegValue& value) {
    if (data.empty()) return Fail("a value has no data");
    if (data[0] == '"') {
      size_t at = 0;
      std::string text;
      if (!ParseQuoted(data, at, text)) return false;
      if (!TrimView(data.substr(at)).empty()) return Fail("text follows a quoted value");
      value.type = REG_SZ;
      value.data = Utf16Bytes(Utf8ToUtf16(text));
      value.data.push_back(0);
      value.data.push_back(0);
      return true;
    }
    if (data.substr(0, 6) == "dword:") {
      std::optional<uint32_t> number = ParseHexNumber(data.substr(6), 8);
      if (!number) return Fail("a dword value is not 1 to 8 hex digits");
      value.type = REG_DWORD;
      value.data = {static_cast<uint8_t>(*number), static_cast<uint8_t>(*number >> 8),
                    static_cast<uint8_t>(*number >> 16), static_cast<uint8_t>(*number >> 24)};
      return true;
    }
    if (data.substr(0, 4) == "hex:") {
      value.type = REG_BINARY;
      return ParseByteList(data.substr(4), value.data);
    }
    if (data.substr(0, 4) == "hex(") {
      size_t close = data.find("):");
      std::optional<uint32_t> type =
          close == std::string_view::npos ? std::nullopt : ParseHexNumber(data.substr(4, close - 4), 8);
      if (!type) return Fail("a hex(type) prefix is malformed");
      value.type = *type;
      return ParseByteList(data.substr(close + 2), value.data);
    }
    if (data == "-") return Fail("value deletions do not belong in a stored hive");
    return Fail("a value's data is not a string, dword or hex list");
  }

  bool ParseByteList(std::string_view list, std::vector<uint8_t>& bytes) {
    bytes.clear();
    list = TrimView(list);
    if (list.empty()) return true;
    size_t start = 0;
    while (true) {
      size_t comma = list.find(',', start);
      std::string_view item = list.substr(start, comma == std::string_view::npos ? list.npos : comma - start);
      std::optional<uint32_t> byte = ParseHexNumber(item, 2);
      if (!byte) return Fail("a hex list holds something that is not a byte");
      bytes.push_back(static_cast<uint8_t>(*byte));
      if (comma == std::string_view::npos) return true;
      start = comma + 1;
    }
  }

  // A name set again replaces the value in its first place; a key may hold
  // tens of thousands of values, so the names are looked up in an index.
  void SetValue(RegValue value) {
    uint64_t* comparisons = counts_ != nullptr ? &counts_->nameComparisons : nullptr;
    NameIndex& names = valueNames_.try_emplace(currentKey_, CountingNameLess{comparisons}).first->second;
    std::vector<RegValue>& values = currentKey_->values;
    auto [place, added] = names.try_emplace(UpperCaseSimple(value.name), values.size());
    if (added) {
      values.push_back(std::move(value));
    } else {
      values[place->second] = std::move(value);
    }
  }

  std::string_view text_;
  const std::string& fileName_;
  std::string rootName_;
  RegistryTree& tree_;
  RegParseCounts* counts_;
  // Per key: the upper-case names of its values and their places in its list.
  using NameIndex = std::map<std::u16string, size_t, CountingNameLess>;
  std::map<const RegKeyNode*, NameIndex> valueNames_;
  RegKeyNode* currentKey_ = nullptr;
  size_t position_ = 0;
  int lineNumber_ = 0;
  int errorLine_ = 0;
  std::string error_;
};

std::string Escaped(std::u16string_view text) {
  std::string out;
  for (char c : Utf16ToUtf8(text)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

// True when the quoted form gives back exactly these bytes.
bool FitsQuotedForm(const std::vector<uint8_t>& data) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  std::u16string text;
  for (size_t i = 0; i < data.size(); i += 2) {
    text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  }
  if (text.back() != u'\0') return false;
  text.pop_back();
  if (text.find_first_of(std::u16string_view(u"\0\r\n", 3)) != std::u16string::npos) return false;
  return Utf8ToUtf16(Utf16ToUtf8(text)) == text;
}

std::u16string QuotedText(const std::vector<uint8_t>& data) {
  std::u16string text;
  // FitsQuotedForm has checked the length and the final NUL, which is left out.
  for (size_t i = 0; i + 2 < data.size(); i += 2) {
    text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  }
  return text;
}

void AppendHexList(std::string& out, const std::vector<uint8_t>& data) {
  size_t column = out.size() - out.rfind('\n') - 1;
  char byte[4];
  for (size_t i = 0; i < data.size(); ++i) {
    std::snprintf(byte, sizeof byte, "%02x", data[i]);
    out += byte;
    column += 2;
    if (i + 1 == data.size()) break;
    out += ',';
    ++column;
    if (column >= kHexLineWidth) {
      out += "\\\n  ";
      column = 2;
    }
  }
}

void AppendValue(std::string& out, const RegValue& value) {
  if (value.name.empty()) {
    out += '@';
  } else {
    out += '"';
    out += Escaped(value.name);
    out += '"';
  }
  out += '=';
  if (value.type == REG_SZ && FitsQuotedForm(value.data)) {
    out += '"';
    out += Escaped(QuotedText(value.data));
    out += '"';
  } else if (value.type == REG_DWORD && value.data.size() == 4) {
    char number[16];
    uint32_t dword = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                     (static_cast<uint32_t>(value.data[3]) << 24);
    std::snprintf(number, sizeof number, "dword:%08x", dword);
    out += number;
  } else if (value.type == REG_BINARY) {
    out += "hex:";
    AppendHexList(out, value.data);
  } else {
    char prefix[24];
    std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
    out += prefix;
    AppendHexList(out, value.data);
  }
  out += '\n';
}

}  // namespace

bool NoCaseLess::operator()(const std::u16string& a, const std::u16string& b) const {
  return CompareNoCase(a, b) < 0;
}

void AddKeyWithParents(RegistryTree& tree, const std::u16string& path) {
  size_t end = 0;
  while (true) {
    end = path.find(u'\\', end);
    std::u16string prefix = path.substr(0, end);
    if (tree.find(prefix) == tree.end()) tree.emplace(prefix, RegKeyNode{prefix, {}});
    if (end == std::u16string::npos) return;
    ++end;
  }
}

bool ParseRegText(std::string_view text, const std::string& fileName,
                  std::u16string_view rootName, RegistryTree& tree, std::string& problem,
                  RegParseCounts* counts) {
  tree.clear();
  tree.emplace(u"", RegKeyNode{});  // the root always exists
  return RegParser(text, fileName, rootName, tree, counts).Run(problem);
}

std::string FormatRegText(const RegistryTree& tree, std::u16string_view rootName) {
  std::string out(kHeader);
  out += "\n";
  std::string root = Utf16ToUtf8(rootName);
  for (const auto& [path, key] : tree) {
    if (path.empty() && key.values.empty()) continue;  // the bare root says nothing
    out += "\n[";
    out += root;
    if (!path.empty()) {
      out += '\\';
      out += Utf16ToUtf8(key.path);
    }
    out += "]\n";
    for (const RegValue& value : key.values) AppendValue(out, value);
  }
  return out;
}

}  // namespace hvm
