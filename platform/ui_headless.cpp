// The headless front end: questions to the log and standard error, answers
// from the scripted answer file or the safe default.
#include "platform/ui_headless.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/debug_sink.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr DWORD kButtonMask = 0xF;
constexpr DWORD kCancelTryContinue = 0x6;

struct NamedAnswer {
  const char* name;
  int id;
};
constexpr NamedAnswer kAnswerNames[] = {{"IDOK", IDOK},         {"IDCANCEL", IDCANCEL},
                                        {"IDABORT", IDABORT},   {"IDRETRY", IDRETRY},
                                        {"IDIGNORE", IDIGNORE}, {"IDYES", IDYES},
                                        {"IDNO", IDNO}};

std::optional<int> AnswerFromName(std::string_view name) {
  for (const NamedAnswer& answer : kAnswerNames) {
    if (name == answer.name) return answer.id;
  }
  return std::nullopt;
}

const char* NameOfAnswer(int id) {
  for (const NamedAnswer& answer : kAnswerNames) {
    if (answer.id == id) return answer.name;
  }
  return "ID?";
}

std::string Trim(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(begin, end - begin + 1));
}

// The text of a box on one line, so that the log keeps one line per question.
// A box may carry a server's text and progress a server's names: their other
// control characters go to the terminal escaped, as they go to the log.
std::string OneLine(std::u16string_view text) {
  std::string line = Utf16ToUtf8(text);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return EscapeControlBytes(line);
}

void Report(const std::string& line) {
  OutputDebugStringA(line.c_str());
  const char* mirrored = std::getenv("HALVENMOOR_DEBUG_STDERR");
  if (mirrored != nullptr && *mirrored != '\0') return;  // the sink already printed it
  std::string whole = line + "\n";
  ssize_t ignored = write(STDERR_FILENO, whole.data(), whole.size());
  (void)ignored;
}

enum class AnswerKind { kBox, kPassword, kFile };

struct ScriptLine {
  AnswerKind kind;
  int id = 0;
  std::string text;
  bool used = false;
};

struct MatchRule {
  std::string substring;
  int id;
};

// The parsed answer file with what this process has used of it.
class AnswerScript {
 public:
  // Takes the standing rule for a box, or its next ordered answer.
  std::optional<int> TakeBoxAnswer(const std::string& text, const std::string& caption,
                                   bool& fromRule) {
    std::lock_guard<std::mutex> lock(mutex_);
    Refresh();
    fromRule = false;
    for (const MatchRule& rule : rules_) {
      if (text.find(rule.substring) != std::string::npos ||
          caption.find(rule.substring) != std::string::npos) {
        fromRule = true;
        return rule.id;
      }
    }
    ScriptLine* line = NextUnused(AnswerKind::kBox);
    if (line == nullptr) return std::nullopt;
    line->used = true;
    return line->id;
  }

  std::optional<std::string> TakeText(AnswerKind kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    Refresh();
    ScriptLine* line = NextUnused(kind);
    if (line == nullptr) return std::nullopt;
    line->used = true;
    return line->text;
  }

 private:
  struct Stamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{};
    bool operator==(const Stamp& o) const {
      return device == o.device && inode == o.inode && size == o.size &&
             modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
    }
  };

  ScriptLine* NextUnused(AnswerKind kind) {
    for (ScriptLine& line : lines_) {
      if (!line.used && line.kind == kind) return &line;
    }
    return nullptr;
  }

  // Reads the file again when its name or contents changed.
  void Refresh() {
    const char* named = std::getenv("HALVENMOOR_UI_ANSWERS");
    std::string path = named != nullptr ? named : "";
    Stamp stamp;
    struct stat info {};
    if (!path.empty() && stat(path.c_str(), &info) == 0) {
      stamp = {info.st_dev, info.st_ino, info.st_size, info.st_mtim};
    }
    if (path == path_ && stamp == stamp_) return;
    path_ = path;
    stamp_ = stamp;
    lines_.clear();
    rules_.clear();
    if (path.empty()) return;
    std::ifstream in(path);
    std::string raw;
    int number = 0;
    while (std::getline(in, raw)) {
      ++number;
      if (!Parse(Trim(raw))) {
        Report("Answer file " + path + " line " + std::to_string(number) +
               " is not understood and is skipped: " + raw);
      }
    }
  }

  bool Parse(const std::string& line) {
    if (line.empty() || line[0] == '#') return true;
    if (line.rfind("password=", 0) == 0) {
      lines_.push_back({AnswerKind::kPassword, 0, line.substr(9)});
      return true;
    }
    if (line.rfind("file=", 0) == 0) {
      lines_.push_back({AnswerKind::kFile, 0, line.substr(5)});
      return true;
    }
    if (line.rfind("match=", 0) == 0) {
      size_t space = line.find_last_of(" \t");
      if (space == std::string::npos || space <= 6) return false;
      std::optional<int> id = AnswerFromName(line.substr(space + 1));
      std::string substring = Trim(std::string_view(line).substr(6, space - 6));
      if (!id || substring.empty()) return false;
      rules_.push_back({substring, *id});
      return true;
    }
    std::optional<int> id = AnswerFromName(line);
    if (!id) return false;
    lines_.push_back({AnswerKind::kBox, *id, {}});
    return true;
  }

  std::mutex mutex_;
  std::string path_;
  Stamp stamp_;
  std::vector<ScriptLine> lines_;
  std::vector<MatchRule> rules_;
};

AnswerScript& Script() {
  static AnswerScript script;
  return script;
}

class HeadlessProgress : public ProgressWindow {
 public:
  explicit HeadlessProgress(std::string title) : title_(std::move(title)) {}

  bool Update(uint64_t done, uint64_t total, std::u16string_view text) override {
    if (total > 0) {
      int decile = done >= total ? 10 : static_cast<int>(done * 10 / total);
      if (decile > lastDecile_) {
        lastDecile_ = decile;
        Print(std::to_string(decile * 10) + "%", text);
      }
    } else if (done >= nextUnknownMark_) {
      // Without a total, a line per 10 MiB keeps long transfers visible but quiet.
      nextUnknownMark_ = done + kUnknownStep;
      Print(std::to_string(done) + " bytes", text);
    }
    return true;
  }

 private:
  static constexpr uint64_t kUnknownStep = 10ull << 20;

  void Print(const std::string& amount, std::u16string_view text) {
    std::string line = "Progress " + title_ + ": " + amount;
    // Appended piece by piece: `" " + OneLine(text)` makes GCC 12 see an
    // overlapping copy (-Wrestrict) in optimised builds.
    if (!text.empty()) {
      line += ' ';
      line += OneLine(text);
    }
    line += "\n";
    ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
  }

  std::string title_;
  int lastDecile_ = -1;
  uint64_t nextUnknownMark_ = 0;
};

}  // namespace

bool BoxOffers(DWORD style, int id) {
  switch (style & kButtonMask) {
    case MB_OK: return id == IDOK;
    case MB_OKCANCEL: return id == IDOK || id == IDCANCEL;
    case MB_ABORTRETRYIGNORE: return id == IDABORT || id == IDRETRY || id == IDIGNORE;
    case MB_YESNOCANCEL: return id == IDYES || id == IDNO || id == IDCANCEL;
    case MB_YESNO: return id == IDYES || id == IDNO;
    case MB_RETRYCANCEL: return id == IDRETRY || id == IDCANCEL;
    case kCancelTryContinue: return id == IDCANCEL;
    default: return id == IDOK;
  }
}

int SafeDefaultAnswer(DWORD style) {
  for (int id : {IDCANCEL, IDNO, IDABORT}) {
    if (BoxOffers(style, id)) return id;
  }
  return IDOK;
}

int HeadlessUi::MessageBox(std::u16string_view text, std::u16string_view caption, DWORD style) {
  std::string line = OneLine(text);
  std::string title = OneLine(caption);
  bool fromRule = false;
  std::optional<int> scripted = Script().TakeBoxAnswer(line, title, fromRule);
  int answer = SafeDefaultAnswer(style);
  const char* source = "default";
  if (scripted && BoxOffers(style, *scripted)) {
    answer = *scripted;
    source = fromRule ? "matched" : "scripted";
  } else if (scripted) {
    source = "default, the scripted answer does not fit the box";
  }
  char styleText[16];
  std::snprintf(styleText, sizeof styleText, "0x%X", static_cast<unsigned>(style));
  Report("MessageBox [" + title + "] " + line + " (style " + styleText + ") -> " +
         NameOfAnswer(answer) + " (" + source + ")");
  return answer;
}

bool HeadlessUi::AskPassword(std::u16string_view prompt, std::string& password) {
  std::optional<std::string> answer = Script().TakeText(AnswerKind::kPassword);
  // The password itself never reaches the log.
  Report("Password [" + OneLine(prompt) + "] -> " + (answer ? "answered" : "declined"));
  if (!answer) return false;
  password = *answer;
  return true;
}

bool HeadlessUi::ChooseFile(std::u16string_view title, std::u16string_view filter,
                            std::string& path) {
  std::optional<std::string> answer = Script().TakeText(AnswerKind::kFile);
  Report("ChooseFile [" + OneLine(title) + "] " + OneLine(filter) + " -> " +
         (answer ? *answer : std::string("declined")));
  if (!answer) return false;
  path = *answer;
  return true;
}

void HeadlessUi::Notify(std::u16string_view title, std::u16string_view text, bool failure) {
  Report(std::string(failure ? "Notice (failure) [" : "Notice [") + OneLine(title) + "] " + OneLine(text));
}

std::unique_ptr<ProgressWindow> HeadlessUi::OpenProgress(std::u16string_view title) {
  return std::make_unique<HeadlessProgress>(OneLine(title));
}

HeadlessUi& HeadlessFrontEnd() {
  static HeadlessUi ui;
  return ui;
}

}  // namespace hvm
