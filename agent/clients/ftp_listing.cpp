// Parsing FTP listings. No line is trusted: fields are checked one by one and
// a line that does not fit a known form is skipped instead of guessed at.
#include "agent/clients/ftp_listing.h"

#include <array>
#include <cctype>
#include <ctime>

namespace hvm {
namespace {

constexpr size_t kMaxNameBytes = 1024;
constexpr int64_t kOneDay = 86400;

bool IsDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// Decimal digits to a 64-bit value; false on anything else or overflow.
bool ParseSize(std::string_view text, uint64_t& value) {
  if (!IsDigits(text) || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  value = v;
  return true;
}

int ParseNumber(std::string_view text) {
  if (!IsDigits(text) || text.size() > 4) return -1;
  int v = 0;
  for (char c : text) v = v * 10 + (c - '0');
  return v;
}

int MonthOf(std::string_view text) {
  static constexpr std::array<const char*, 12> kMonths = {"jan", "feb", "mar", "apr", "may", "jun",
                                                           "jul", "aug", "sep", "oct", "nov", "dec"};
  if (text.size() != 3) return -1;
  for (size_t i = 0; i < kMonths.size(); ++i) {
    bool same = true;
    for (size_t k = 0; k < 3; ++k)
      same = same && std::tolower(static_cast<unsigned char>(text[k])) == kMonths[i][k];
    if (same) return static_cast<int>(i);
  }
  return -1;
}

// A calendar time in UTC to FILETIME; 0 when a field is out of range.
FileTime FileTimeOf(int year, int month, int day, int hour, int minute, int second) {
  if (year < 1601 || year > 30000 || month < 0 || month > 11 || day < 1 || day > 31 || hour < 0 ||
      hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60)
    return 0;
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  int64_t unix = static_cast<int64_t>(timegm(&t));
  int64_t ticks = unix * static_cast<int64_t>(kFileTimeTicksPerSecond) + static_cast<int64_t>(kFileTimeUnixEpoch);
  return ticks > 0 ? static_cast<FileTime>(ticks) : 0;
}

int64_t UnixOf(int year, int month, int day, int hour, int minute) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  return static_cast<int64_t>(timegm(&t));
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
  return text;
}

// Whitespace-separated words with their offsets in the line.
struct Word {
  std::string_view text;
  size_t end;  // offset just after the word
};

std::vector<Word> SplitWords(std::string_view line, size_t maxWords) {
  std::vector<Word> words;
  size_t i = 0;
  while (i < line.size() && words.size() < maxWords) {
    while (i < line.size() && line[i] == ' ') ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ') ++i;
    if (i > start) words.push_back({line.substr(start, i - start), i});
  }
  return words;
}

// "YYYYMMDDHHMMSS" with an optional fraction, UTC.
FileTime ParseMlsdTime(std::string_view text) {
  if (text.size() < 14 || !IsDigits(text.substr(0, 14))) return 0;
  auto field = [&](size_t at, size_t length) { return ParseNumber(text.substr(at, length)); };
  return FileTimeOf(field(0, 4), field(4, 2) - 1, field(6, 2), field(8, 2), field(10, 2), field(12, 2));
}

bool EqualsLower(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != lower[i]) return false;
  return true;
}

// "Mon DD HH:MM" (a year from now's point of view) or "Mon DD YYYY".
FileTime ParseUnixDate(std::string_view monthText, std::string_view dayText, std::string_view yearOrTime,
                       int64_t nowUnix) {
  int month = MonthOf(monthText);
  int day = ParseNumber(dayText);
  if (month < 0 || day < 1 || day > 31) return 0;
  size_t colon = yearOrTime.find(':');
  if (colon == std::string_view::npos) {
    int year = ParseNumber(yearOrTime);
    return year >= 1601 ? FileTimeOf(year, month, day, 0, 0, 0) : 0;
  }
  int hour = ParseNumber(yearOrTime.substr(0, colon));
  int minute = ParseNumber(yearOrTime.substr(colon + 1));
  if (hour < 0 || minute < 0) return 0;
  std::time_t now = static_cast<std::time_t>(nowUnix);
  std::tm today{};
  gmtime_r(&now, &today);
  int year = today.tm_year + 1900;
  if (UnixOf(year, month, day, hour, minute) > nowUnix + kOneDay) --year;
  return FileTimeOf(year, month, day, hour, minute, 0);
}

bool ParseUnixLine(std::string_view line, int64_t nowUnix, FtpListedItem& item) {
  char type = line.empty() ? 0 : line[0];
  if (type != '-' && type != 'd' && type != 'l') return false;
  // Permissions, links, owner, [group,] size, month, day, year or time, name.
  std::vector<Word> words = SplitWords(line, 9);
  for (size_t m = 3; m + 2 < words.size(); ++m) {
    uint64_t size = 0;
    if (MonthOf(words[m].text) < 0 || !ParseSize(words[m - 1].text, size)) continue;
    FileTime modified = ParseUnixDate(words[m].text, words[m + 1].text, words[m + 2].text, nowUnix);
    if (modified == 0) continue;
    size_t nameStart = words[m + 2].end + 1;
    if (nameStart >= line.size()) return false;
    std::string_view name = line.substr(nameStart);
    if (type == 'l') {
      size_t arrow = name.find(" -> ");
      if (arrow != std::string_view::npos) name = name.substr(0, arrow);
    }
    item.name = std::string(name);
    item.isDirectory = type == 'd';
    item.isLink = type == 'l';
    item.size = item.isDirectory ? 0 : size;
    item.modified = modified;
    return true;
  }
  return false;
}

// "MM-DD-YY  HH:MMAM  <DIR>  name" or "MM-DD-YYYY  HH:MM  size name".
bool ParseDosLine(std::string_view line, FtpListedItem& item) {
  std::vector<Word> words = SplitWords(line, 3);
  if (words.size() < 3 || words[2].end >= line.size()) return false;
  std::string_view date = words[0].text, time = words[1].text;
  if (date.size() != 8 && date.size() != 10) return false;
  if (date[2] != '-' || date[5] != '-') return false;
  int month = ParseNumber(date.substr(0, 2)) - 1, day = ParseNumber(date.substr(3, 2));
  int year = ParseNumber(date.substr(6));
  if (year < 0) return false;
  if (date.size() == 8) year += year < 70 ? 2000 : 1900;
  bool pm = false, am = false;
  if (time.size() > 2) {
    std::string_view suffix = time.substr(time.size() - 2);
    pm = EqualsLower(suffix, "pm");
    am = EqualsLower(suffix, "am");
    if (pm || am) time.remove_suffix(2);
  }
  size_t colon = time.find(':');
  if (colon == std::string_view::npos) return false;
  int hour = ParseNumber(time.substr(0, colon)), minute = ParseNumber(time.substr(colon + 1));
  if (hour < 0 || minute < 0) return false;
  if ((pm || am) && (hour < 1 || hour > 12)) return false;
  if (pm && hour != 12) hour += 12;
  if (am && hour == 12) hour = 0;
  FileTime modified = FileTimeOf(year, month, day, hour, minute, 0);
  if (modified == 0) return false;
  bool directory = EqualsLower(words[2].text, "<dir>");
  uint64_t size = 0;
  if (!directory && !ParseSize(words[2].text, size)) return false;
  size_t nameStart = words[2].end;
  while (nameStart < line.size() && line[nameStart] == ' ') ++nameStart;
  if (nameStart >= line.size()) return false;
  item.name = std::string(line.substr(nameStart));
  item.isDirectory = directory;
  item.isLink = false;
  item.size = size;
  item.modified = modified;
  return true;
}

}  // namespace

bool IsAddressableFtpName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameBytes || name == "." || name == "..") return false;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '/' || c == '\\') return false;
  }
  return true;
}

bool ParseMlsdLine(std::string_view line, FtpListedItem& item) {
  line = Trimmed(line);
  size_t space = line.find(' ');
  if (space == std::string_view::npos) return false;
  std::string_view facts = line.substr(0, space);
  std::string_view name = line.substr(space + 1);
  FtpListedItem found;
  bool typed = false;
  while (!facts.empty()) {
    size_t end = facts.find(';');
    std::string_view fact = facts.substr(0, end);
    facts = end == std::string_view::npos ? std::string_view() : facts.substr(end + 1);
    size_t equals = fact.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view key = fact.substr(0, equals), value = fact.substr(equals + 1);
    if (EqualsLower(key, "type")) {
      if (EqualsLower(value, "cdir") || EqualsLower(value, "pdir")) return false;
      found.isDirectory = EqualsLower(value, "dir");
      typed = found.isDirectory || EqualsLower(value, "file") || value.size() > 3;
      found.isLink = value.size() > 9 && EqualsLower(value.substr(0, 9), "os.unix=s");
    } else if (EqualsLower(key, "size")) {
      if (!ParseSize(value, found.size)) return false;
    } else if (EqualsLower(key, "modify")) {
      found.modified = ParseMlsdTime(value);
    }
  }
  if (!typed || !IsAddressableFtpName(name)) return false;
  if (found.isDirectory) found.size = 0;
  found.name = std::string(name);
  item = std::move(found);
  return true;
}

bool ParseListLine(std::string_view line, int64_t nowUnix, FtpListedItem& item) {
  line = Trimmed(line);
  FtpListedItem found;
  bool parsed = !line.empty() && (line[0] >= '0' && line[0] <= '9') ? ParseDosLine(line, found)
                                                                       : ParseUnixLine(line, nowUnix, found);
  if (!parsed || !IsAddressableFtpName(found.name)) return false;
  item = std::move(found);
  return true;
}

bool ParseFtpListing(std::string_view text, FtpListingForm form, int64_t nowUnix, std::vector<FtpListedItem>& items) {
  items.clear();
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    FtpListedItem item;
    bool ok = form == FtpListingForm::Mlsd ? ParseMlsdLine(line, item) : ParseListLine(line, nowUnix, item);
    if (!ok) continue;
    if (items.size() == kMaxFtpListedEntries) {
      items.clear();
      return false;
    }
    items.push_back(std::move(item));
  }
  return true;
}

std::vector<FtpListedItem> ParseFtpListing(std::string_view text, FtpListingForm form, int64_t nowUnix) {
  std::vector<FtpListedItem> items;
  ParseFtpListing(text, form, nowUnix, items);
  return items;
}

}  // namespace hvm
