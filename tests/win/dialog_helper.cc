// Test helper, run under wine beside the program under test: watches for
// message boxes, reports each one as a line of JSON on stdout and presses
// one of its buttons.
//
//   dialog_helper.exe STOP-FILE [ANSWERS] [TIMEOUT-SECONDS]
//
// ANSWERS is a list like "Stashwel=6;Other caption=1": the button id to
// press in a box with that caption. A box with another caption gets its
// only button, else OK (1), else No (7), else Cancel (2). The first line is
//   {"watching":true}
// (a caller can tell a helper that ran from a wine that started nothing),
// then each box gives
//   {"caption":"...","text":"...","buttons":[1],"pressed":1}
// The helper ends (exit code 0) once STOP-FILE exists, after a last look,
// or with exit code 3 when the timeout (default 120 s) passes first.
#include <windows.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "utf8.h"

namespace {

constexpr int kButtonIds[] = {IDOK, IDCANCEL, IDYES, IDNO};
constexpr int kStaticTextId = 0xFFFF;  // the message text of a message box

std::map<std::string, int> ParseAnswers(const std::string& list) {
  std::map<std::string, int> answers;
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    const std::string item = list.substr(start, end - start);
    const size_t equals = item.rfind('=');
    if (equals != std::string::npos) {
      answers[item.substr(0, equals)] = atoi(item.c_str() + equals + 1);
    }
    start = end + 1;
  }
  return answers;
}

std::wstring WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const int got = GetWindowTextW(window, text.data(), length + 1);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return text;
}

// A JSON string; control characters, quotes and backslashes escaped, the
// rest as UTF-8.
std::string Json(const std::wstring& text) {
  std::wstring escaped;
  for (wchar_t c : text) {
    switch (c) {
      case L'"':
        escaped += L"\\\"";
        break;
      case L'\\':
        escaped += L"\\\\";
        break;
      case L'\r':
        escaped += L"\\r";
        break;
      case L'\n':
        escaped += L"\\n";
        break;
      case L'\t':
        escaped += L"\\t";
        break;
      default:
        if (c < 0x20) {
          wchar_t code[8];
          swprintf(code, 8, L"\\u%04x", static_cast<unsigned>(c));
          escaped += code;
        } else {
          escaped += c;
        }
    }
  }
  return "\"" + Utf8(escaped) + "\"";
}

BOOL CALLBACK CollectBox(HWND window, LPARAM param) {
  char class_name[16] = {};
  GetClassNameA(window, class_name, sizeof class_name);
  // Only boxes that have finished their set-up and are on screen.
  if (std::string(class_name) == "#32770" && IsWindowVisible(window)) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
  }
  return TRUE;
}

std::vector<HWND> OpenBoxes() {
  std::vector<HWND> boxes;
  EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&boxes));
  return boxes;
}

class Watcher {
 public:
  explicit Watcher(std::map<std::string, int> answers)
      : answers_(std::move(answers)) {}

  // Reports and answers every box not seen before.
  void Look() {
    // A closed box's handle may come back for a later box.
    for (auto it = seen_.begin(); it != seen_.end();) {
      it = IsWindow(*it) ? std::next(it) : seen_.erase(it);
    }
    for (HWND box : OpenBoxes()) {
      if (seen_.count(box)) continue;
      seen_.insert(box);
      Answer(box);
    }
  }

 private:
  void Answer(HWND box) {
    const std::wstring caption = WindowText(box);
    HWND text_control = GetDlgItem(box, kStaticTextId);
    const std::wstring text =
        text_control ? WindowText(text_control) : std::wstring();
    std::vector<int> buttons;
    for (int id : kButtonIds) {
      HWND button = GetDlgItem(box, id);
      if (button && IsWindowVisible(button)) buttons.push_back(id);
    }
    const int pressed = Choose(Utf8(caption), buttons);
    std::string line = "{\"caption\":" + Json(caption) +
                       ",\"text\":" + Json(text) + ",\"buttons\":[";
    for (size_t i = 0; i < buttons.size(); ++i) {
      line += (i ? "," : "") + std::to_string(buttons[i]);
    }
    line += "],\"pressed\":" + std::to_string(pressed) + "}\n";
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
    PostMessageA(box, WM_COMMAND, static_cast<WPARAM>(pressed), 0);
  }

  int Choose(const std::string& caption, const std::vector<int>& buttons) {
    auto answer = answers_.find(caption);
    if (answer != answers_.end()) return answer->second;
    if (buttons.size() == 1) return buttons[0];
    for (int id : {IDOK, IDNO, IDCANCEL}) {
      for (int present : buttons) {
        if (present == id) return id;
      }
    }
    return IDCANCEL;
  }

  std::map<std::string, int> answers_;
  std::set<HWND> seen_;
};

bool Exists(const char* path) {
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: dialog_helper STOP-FILE [ANSWERS] [TIMEOUT]\n");
    return 2;
  }
  Watcher watcher(ParseAnswers(argc > 2 ? argv[2] : ""));
  fputs("{\"watching\":true}\n", stdout);
  fflush(stdout);
  const double timeout_ms = argc > 3 ? atof(argv[3]) * 1000 : 120000;
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    const bool stop = Exists(argv[1]);
    watcher.Look();
    if (stop) return 0;
    if (GetTickCount64() - start > timeout_ms) return 3;
    Sleep(20);
  }
}
