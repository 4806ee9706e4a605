// The Windows diagnostic sinks that have no Linux counterpart: the event log, debugger output
// and message boxes. Each becomes a line appended to a file below the platform root, so that a
// test (or an administrator) can read what the product reported:
//   eventlog/Application.log     time, source, type, text        (ReportEvent)
//   debug/output.log             the text                        (OutputDebugString)
//   desktop/messageboxes.log     [caption] text (0xSTYLE)        (MessageBox; answers OK)
// Nothing goes to the console.
#pragma once

#include "platform/wintypes.h"

namespace tarn::platform {

inline constexpr WORD EVENTLOG_SUCCESS = 0x0000;
inline constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
inline constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
inline constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;

inline constexpr int IDOK = 1;
inline constexpr DWORD MB_OK = 0x00000000;
inline constexpr DWORD MB_ICONERROR = 0x00000010;
inline constexpr DWORD MB_ICONWARNING = 0x00000030;
inline constexpr DWORD MB_ICONINFORMATION = 0x00000040;

// Appends "TIME SOURCE TYPE TEXT" to the Application event log; TYPE is "Error", "Warning",
// "Information" or "Success". Returns false when the log cannot be written.
bool ReportEvent(const char* source, WORD type, const char* text);

// Appends the text as one line of the debugger output. A trailing line feed is dropped.
void OutputDebugString(const char* text);

// Appends "[caption] text (0xSTYLE)" to the message-box log and answers IDOK.
int MessageBox(const char* text, const char* caption, DWORD style);

}  // namespace tarn::platform
