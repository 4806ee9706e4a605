#include "platform/diagnostics.h"

#include <cstdio>
#include <ctime>
#include <string>

#include "platform/root.h"

namespace tarn::platform {

namespace {
const char* EventTypeName(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return "Error";
    case EVENTLOG_WARNING_TYPE: return "Warning";
    case EVENTLOG_INFORMATION_TYPE: return "Information";
    default: return "Success";
  }
}

std::string Now() {
  const std::time_t t = std::time(nullptr);
  std::tm tm {};
  ::localtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

// One log line must stay one line: embedded line breaks become blanks.
std::string OneLine(const char* text) {
  std::string s(text != nullptr ? text : "");
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  for (char& c : s)
    if (c == '\n' || c == '\r') c = ' ';
  return s;
}
}  // namespace

bool ReportEvent(const char* source, WORD type, const char* text) {
  std::string line = Now();
  line += ' ';
  line += OneLine(source);
  line += ' ';
  line += EventTypeName(type);
  line += ' ';
  line += OneLine(text);
  return AppendPlatformLine("eventlog/Application.log", line);
}

void OutputDebugString(const char* text) { AppendPlatformLine("debug/output.log", OneLine(text)); }

int MessageBox(const char* text, const char* caption, DWORD style) {
  char styleText[16];
  std::snprintf(styleText, sizeof styleText, "0x%X", static_cast<unsigned>(style));
  std::string line = "[" + OneLine(caption) + "] " + OneLine(text) + " (" + styleText + ")";
  AppendPlatformLine("desktop/messageboxes.log", line);
  return IDOK;
}

}  // namespace tarn::platform
