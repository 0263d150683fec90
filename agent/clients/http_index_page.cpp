// Directory pages of web servers: links judged one by one, facts read from
// the text beside each link.
#include "agent/clients/http_index_page.h"

#include <libxml/HTMLparser.h>
#include <libxml/tree.h>
#include <strings.h>

#include <array>
#include <cctype>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>

#include "agent/clients/url_coding.h"
#include "agent/clients/webdav_dates.h"
#include "agent/clients/xml_messages.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr std::array<const char*, 7> kEnglishWeekdays = {"Monday", "Tuesday", "Wednesday", "Thursday",
                                                          "Friday", "Saturday", "Sunday"};
constexpr std::array<const char*, 7> kGermanWeekdays = {"Montag", "Dienstag", "Mittwoch", "Donnerstag",
                                                         "Freitag", "Samstag", "Sonntag"};
constexpr std::array<const char*, 12> kEnglishMonths = {"January", "February", "March",     "April",
                                                         "May",     "June",     "July",      "August",
                                                         "September", "October", "November", "December"};
constexpr std::array<const char*, 12> kGermanMonths = {"Januar", "Februar", "M\xC3\xA4rz", "April",
                                                        "Mai",    "Juni",    "Juli",        "August",
                                                        "September", "Oktober", "November", "Dezember"};
constexpr std::array<const char*, 12> kShortMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

// Words of a line; a no-break space (U+00A0 in UTF-8) separates like a blank.
std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  size_t i = 0, start = std::string_view::npos;
  auto flush = [&](size_t end) {
    if (start != std::string_view::npos) words.push_back(text.substr(start, end - start));
    start = std::string_view::npos;
  };
  while (i < text.size()) {
    if (IsBlank(text[i])) {
      flush(i);
      ++i;
    } else if (static_cast<unsigned char>(text[i]) == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) == 0xA0) {
      flush(i);
      i += 2;
    } else {
      if (start == std::string_view::npos) start = i;
      ++i;
    }
  }
  flush(text.size());
  return words;
}

bool IsDigits(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// A decimal number of at most maxDigits digits.
bool Number(std::string_view s, size_t maxDigits, uint64_t& value) {
  if (!IsDigits(s) || s.size() > maxDigits) return false;
  value = 0;
  for (char c : s) value = value * 10 + static_cast<uint64_t>(c - '0');
  return true;
}

bool SameNoCase(std::string_view a, const char* b) {
  return a.size() == std::strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

template <size_t N>
int IndexOf(std::string_view word, const std::array<const char*, N>& names) {
  for (size_t i = 0; i < N; ++i)
    if (SameNoCase(word, names[i])) return static_cast<int>(i);
  return -1;
}

// "h:mm" or "hh:mm:ss".
bool ClockTime(std::string_view s, int& hour, int& minute, int& second) {
  size_t colon = s.find(':');
  if (colon == std::string_view::npos) return false;
  uint64_t h = 0, m = 0, sec = 0;
  std::string_view rest = s.substr(colon + 1);
  size_t colon2 = rest.find(':');
  if (!Number(s.substr(0, colon), 2, h)) return false;
  if (colon2 == std::string_view::npos) {
    if (!Number(rest, 2, m)) return false;
  } else if (!Number(rest.substr(0, colon2), 2, m) || !Number(rest.substr(colon2 + 1), 2, sec)) {
    return false;
  }
  if (h > 23 || m > 59 || sec > 60) return false;
  hour = static_cast<int>(h);
  minute = static_cast<int>(m);
  second = static_cast<int>(sec);
  return true;
}

bool ValidDate(int year, int month, int day) {
  static constexpr int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1601 || year > 9999 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return false;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month != 2 || day <= 28 || leap;
}

// A broken-down time as the server gave it, to UTC.
FileTime ToFileTime(int year, int month, int day, int hour, int minute, int second, bool utc) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  if (utc) return FileTimeFromUtc(t);
  std::tm local = t;
  local.tm_isdst = -1;
  time_t when = mktime(&local);
  if (when == static_cast<time_t>(-1)) {
    // No conversion: the time one hour earlier, taken as it is.
    t.tm_hour = hour > 0 ? hour - 1 : 0;
    return FileTimeFromUtc(t);
  }
  return FileTimeFromUnix(timespec{when, 0});
}

bool IsDirectoryMarker(std::string_view word) { return SameNoCase(word, "<dir>"); }

// What follows date and time: the directory marker or an exact size; a
// rounded size ("1.2K", "12M") or "-" gives neither.
void ReadSizeOrMarker(const std::vector<std::string_view>& words, size_t from, IndexLine& out) {
  for (size_t i = from; i < words.size(); ++i) {
    if (IsDirectoryMarker(words[i])) {
      out.isDirectory = true;
      return;
    }
    uint64_t size = 0;
    if (Number(words[i], 19, size)) {
      out.hasSize = true;
      out.size = size;
      return;
    }
    if (words[i] == "-" || std::isdigit(static_cast<unsigned char>(words[i][0]))) return;
  }
}

// The generic forms: "2026-01-05", "2026-Jan-05" or "05-Jan-2026".
bool DashedDate(std::string_view s, int& year, int& month, int& day) {
  size_t a = s.find('-');
  size_t b = a == std::string_view::npos ? a : s.find('-', a + 1);
  if (b == std::string_view::npos || s.find('-', b + 1) != std::string_view::npos) return false;
  std::string_view p1 = s.substr(0, a), p2 = s.substr(a + 1, b - a - 1), p3 = s.substr(b + 1);
  uint64_t y = 0, m = 0, d = 0;
  if (p1.size() == 4 && Number(p1, 4, y) && Number(p3, 2, d)) {
    if (!Number(p2, 2, m)) {
      int named = IndexOf(p2, kShortMonths);
      if (named < 0) return false;
      m = static_cast<uint64_t>(named + 1);
    }
  } else if (p3.size() == 4 && Number(p3, 4, y) && Number(p1, 2, d)) {
    int named = IndexOf(p2, kShortMonths);
    if (named < 0) return false;
    m = static_cast<uint64_t>(named + 1);
  } else {
    return false;
  }
  year = static_cast<int>(y);
  month = static_cast<int>(m);
  day = static_cast<int>(d);
  return ValidDate(year, month, day);
}

// ---- the page walk

struct Segment {
  bool isLink = false;
  std::string text;   // text, or the link's href
};
using Line = std::vector<Segment>;

bool IsNamed(const xmlNode* node, const char* name) {
  return node->name && strcasecmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

bool IsSkipped(const xmlNode* node) {
  for (const char* name : {"script", "style", "head", "title", "noscript", "template", "select", "textarea"})
    if (IsNamed(node, name)) return true;
  return false;
}

// Elements that end one line of the listing and start the next.
bool BreaksLine(const xmlNode* node) {
  for (const char* name : {"br", "tr", "li", "p", "div", "table", "thead", "tbody", "ul", "ol", "dl", "dt",
                           "dd", "h1", "h2", "h3", "h4", "h5", "h6", "hr", "pre", "body", "center"})
    if (IsNamed(node, name)) return true;
  return false;
}

class PageWalk {
 public:
  std::vector<Line> lines{1};

  void Run(xmlNode* root) {
    xmlNode* node = root;
    while (node) {
      bool entered = Visit(node);
      if (entered && node->children) {
        node = node->children;
        continue;
      }
      if (entered) Leave(node);
      while (node != root && !node->next) {
        node = node->parent;
        Leave(node);
      }
      if (node == root) break;
      node = node->next;
    }
  }

 private:
  void NewLine() {
    if (!lines.back().empty()) lines.emplace_back();
  }

  void AddText(std::string_view text) {
    if (text.empty()) return;
    Line& line = lines.back();
    if (!line.empty() && !line.back().isLink) line.back().text.append(" ").append(text);
    else line.push_back(Segment{false, std::string(text)});
  }

  // True when the node's children are to be walked.
  bool Visit(xmlNode* node) {
    if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
      std::string_view text = node->content ? reinterpret_cast<const char*>(node->content) : "";
      if (preDepth_ == 0) {
        AddText(text);
        return false;
      }
      for (size_t start = 0;;) {
        size_t end = text.find('\n', start);
        AddText(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) break;
        NewLine();
        start = end + 1;
      }
      return false;
    }
    if (node->type != XML_ELEMENT_NODE && node->type != XML_DOCUMENT_NODE &&
        node->type != XML_HTML_DOCUMENT_NODE)
      return false;
    if (node->type == XML_ELEMENT_NODE) {
      if (IsSkipped(node)) return false;
      if (IsNamed(node, "a")) {
        xmlChar* href = xmlGetProp(node, reinterpret_cast<const xmlChar*>("href"));
        if (href) {
          lines.back().push_back(Segment{true, reinterpret_cast<const char*>(href)});
          xmlFree(href);
          return false;  // the link's own text is its name, not a description
        }
      }
      if (BreaksLine(node)) NewLine();
      if (IsNamed(node, "pre")) ++preDepth_;
    }
    return true;
  }

  void Leave(xmlNode* node) {
    if (node->type != XML_ELEMENT_NODE) return;
    if (IsNamed(node, "pre") && preDepth_ > 0) --preDepth_;
    if (BreaksLine(node)) NewLine();
  }

  int preDepth_ = 0;
};

struct HtmlDocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

std::unique_ptr<xmlDoc, HtmlDocFree> ReadHtml(std::string_view html, std::string_view charset) {
  const int options = HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET |
                      HTML_PARSE_NOIMPLIED | HTML_PARSE_COMPACT;
  std::string encoding(charset);
  SilenceXmlMessages();
  xmlDoc* doc = htmlReadMemory(html.data(), static_cast<int>(html.size()), "index.html",
                               encoding.empty() ? nullptr : encoding.c_str(), options);
  // A charset libxml2 does not know: let the page's own declaration decide.
  if (!doc && !encoding.empty())
    doc = htmlReadMemory(html.data(), static_cast<int>(html.size()), "index.html", nullptr, options);
  return std::unique_ptr<xmlDoc, HtmlDocFree>(doc);
}

bool HasControlCharacter(std::u16string_view name) {
  for (char16_t c : name)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

// ASCII case-insensitive prefix test.
bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

struct NameLess {
  bool operator()(const std::u16string& a, const std::u16string& b) const { return CompareNoCase(a, b) < 0; }
};

}  // namespace

int ParseIndexLine(std::string_view line, IndexLanguage& language, IndexLine& out) {
  out = IndexLine{};
  size_t comma = line.find(',');
  if (comma == std::string_view::npos) return -1;
  std::vector<std::string_view> head = Words(line.substr(0, comma));
  if (head.empty()) return -1;
  IndexLanguage said = IndexOf(head.back(), kEnglishWeekdays) >= 0  ? IndexLanguage::English
                       : IndexOf(head.back(), kGermanWeekdays) >= 0 ? IndexLanguage::German
                                                                    : IndexLanguage::Unknown;
  if (said == IndexLanguage::Unknown) return -1;
  if (language == IndexLanguage::Unknown) language = said;

  std::vector<std::string_view> w = Words(line.substr(comma + 1));
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  uint64_t n = 0;
  size_t next = 0;
  if (language == IndexLanguage::English) {
    // "January 05, 2026  3:17 PM"
    if (w.size() < 5) return -1;
    month = IndexOf(w[0], kEnglishMonths) + 1;
    std::string_view dayWord = w[1];
    if (!dayWord.empty() && dayWord.back() == ',') dayWord.remove_suffix(1);
    if (month == 0 || !Number(dayWord, 2, n)) return -1;
    day = static_cast<int>(n);
    if (!Number(w[2], 4, n)) return -1;
    year = static_cast<int>(n);
    if (!ClockTime(w[3], hour, minute, second) || hour > 12) return -1;
    next = 4;
    if (SameNoCase(w[4], "PM") || SameNoCase(w[4], "AM")) {
      bool pm = SameNoCase(w[4], "PM");
      if (pm && hour != 12) hour += 12;
      if (!pm && hour == 12) hour = 0;  // 12:05 AM is five past midnight
      next = 5;
    }
  } else {
    // "5. Januar 2026 15:17"
    if (w.size() < 4) return -1;
    std::string_view dayWord = w[0];
    if (!dayWord.empty() && dayWord.back() == '.') dayWord.remove_suffix(1);
    if (!Number(dayWord, 2, n)) return -1;
    day = static_cast<int>(n);
    month = IndexOf(w[1], kGermanMonths) + 1;
    if (month == 0 && SameNoCase(w[1], "M\xE4rz")) month = 3;  // a page read as Latin-1
    if (month == 0 || !Number(w[2], 4, n)) return -1;
    year = static_cast<int>(n);
    if (!ClockTime(w[3], hour, minute, second)) return -1;
    next = 4;
  }
  if (!ValidDate(year, month, day)) return -1;
  out.hasTime = true;
  out.time = ToFileTime(year, month, day, hour, minute, second, false);
  ReadSizeOrMarker(w, next, out);
  return 0;
}

bool ParseDescription(std::string_view text, bool datesInUtc, IndexLanguage& language, IndexLine& out) {
  if (ParseIndexLine(text, language, out) == 0) return true;
  out = IndexLine{};
  std::vector<std::string_view> w = Words(text);
  for (size_t i = 0; i < w.size(); ++i) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!DashedDate(w[i], year, month, day)) continue;
    size_t next = i + 1;
    if (next < w.size() && ClockTime(w[next], hour, minute, second)) ++next;
    out.hasTime = true;
    out.time = ToFileTime(year, month, day, hour, minute, second, datesInUtc);
    ReadSizeOrMarker(w, next, out);
    // lighttpd's last column is the type; a free description elsewhere may say anything.
    if (SameNoCase(w.back(), "Directory")) out.isDirectory = true;
    return true;
  }
  return false;
}

bool NameFromHref(std::string_view href, const IndexPageScope& scope, std::u16string& name, bool& isDirectory) {
  while (!href.empty() && IsBlank(href.front())) href.remove_prefix(1);
  while (!href.empty() && IsBlank(href.back())) href.remove_suffix(1);
  // Queries (sort links) and fragments never name a file: a file name holding
  // "?" or "#" comes escaped.
  if (href.empty() || href.find_first_of("?#\\") != std::string_view::npos) return false;
  for (char c : href)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  if (href.substr(0, 2) == "//") return false;  // another host, scheme-relative
  std::string_view component;
  size_t colon = href.find(':');
  size_t slash = href.find('/');
  bool hasScheme = colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash);
  if (hasScheme || href.front() == '/') {
    std::string_view path = href;
    if (hasScheme) {
      // Only links to the site's own server, with the same scheme, host and port.
      if (scope.origin.empty() || !StartsWithNoCase(href, scope.origin)) return false;
      path = href.substr(scope.origin.size());
      if (path.empty() || path.front() != '/') return false;
    }
    std::string_view body = path;
    if (body.size() > 1 && body.back() == '/') body.remove_suffix(1);
    size_t last = body.rfind('/');
    std::string parent = PercentDecode(path.substr(0, last + 1));
    if (parent.size() != scope.folderPath.size() || !StartsWithNoCase(parent, scope.folderPath)) return false;
    component = path.substr(last + 1);
  } else {
    component = href;
    if (component.substr(0, 2) == "./") component.remove_prefix(2);
  }
  isDirectory = !component.empty() && component.back() == '/';
  if (isDirectory) component.remove_suffix(1);
  if (component.empty() || component.find('/') != std::string_view::npos || component == "." ||
      component == ".." || component.find("%00") != std::string_view::npos)
    return false;  // a NUL cannot be part of a name
  std::u16string wide = Utf8ToUtf16(component);
  if (wide.find(u'%') != std::u16string::npos) {
    std::u16string decoded(kUrlByteBufferSize, u'\0');
    if (!decodeUrlName(wide.c_str(), decoded.data(), decoded.size())) return false;
    decoded.resize(std::char_traits<char16_t>::length(decoded.c_str()));
    wide = decoded;
  }
  if (wide.empty() || wide == u"." || wide == u".." || wide.find_first_of(u"/\\") != std::u16string::npos ||
      HasControlCharacter(wide))
    return false;
  name = std::move(wide);
  return true;
}

IndexPageResult ParseIndexPage(std::string_view html, std::string_view charset, const IndexPageScope& scope,
                               IndexLanguage& language) {
  IndexPageResult result;
  if (html.size() > kMaxIndexPageBytes) {
    result.error = -1;
    return result;
  }
  if (html.empty()) return result;
  auto doc = ReadHtml(html, charset);
  if (!doc) {
    result.error = -1;
    return result;
  }
  PageWalk walk;
  walk.Run(reinterpret_cast<xmlNode*>(doc.get()));

  std::set<std::u16string, NameLess> seen;
  for (const Line& line : walk.lines) {
    // The line's links that name children; facts belong to a line with one child only.
    std::vector<IndexItem> children;
    std::string description;
    for (const Segment& s : line) {
      if (!s.isLink) {
        description.append(s.text).append(" ");
        continue;
      }
      IndexItem item;
      if (!NameFromHref(s.text, scope, item.name, item.isDirectory)) {
        ++result.skipped;
        continue;
      }
      bool repeated = false;
      for (const IndexItem& c : children) repeated = repeated || c.name == item.name;
      if (!repeated) children.push_back(std::move(item));
    }
    IndexLine facts;
    if (children.size() == 1) ParseDescription(description, scope.datesInUtc, language, facts);
    for (IndexItem& item : children) {
      if (!seen.insert(item.name).second) {
        ++result.skipped;  // one name twice, or two names the drive cannot tell apart
        continue;
      }
      if (result.items.size() >= kMaxIndexPageItems) {
        result.error = -2;
        result.items.clear();
        return result;
      }
      item.line = facts;
      if (facts.isDirectory) item.isDirectory = true;
      // A folder's "size" column holds no byte count.
      if (item.isDirectory) item.line.hasSize = false;
      result.items.push_back(std::move(item));
    }
  }
  return result;
}

}  // namespace hvm
