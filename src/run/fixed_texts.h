// The program's fixed texts and numbers: what the user, the mail filter's
// set-up and everyone who reads or parses an existing log already sees.
// Each stays byte for byte as it is; the line above it says who reads it.
// The log lines themselves are written where they happen (placement, the
// verified move, the scan), as literals of the same kind.
#ifndef STASHWELL_RUN_FIXED_TEXTS_H_
#define STASHWELL_RUN_FIXED_TEXTS_H_

#include <cstdint>

namespace stashwell {

// The usage warning, shown when the filter gives fewer than two arguments.
// "%6" is no placeholder left unfilled: it is the mail client's own
// filter-action variable for the message file, shown as the user types it
// into the filter's command line.
inline constexpr char kUsageText[] = "Usage: Stashwell %6 <Move_To_path>";
// Users and their set-up guides look for the box by this caption.
inline constexpr char kUsageCaption[] = "Check Filter Action";

// The question after a run that logged an error. "Stashwel", with one
// "l", is the caption the program has always shown; scripts that answer
// the box find it by this caption.
inline constexpr char kOpenLogQuestion[] = "Errors Reported. Open Log File?";
inline constexpr char kOpenLogCaption[] = "Stashwel";

// The error report: "Exception <kind> in module <module> at <offset>."
// with the kinds below, exactly as the program's reports have always
// named them (with the runtime's "E" prefix); support answers and users'
// searches go by these words.
inline constexpr char kFailureReportCaption[] = "Application Error";
inline constexpr char kInOutErrorKind[] = "EInOutError";
inline constexpr char kOutOfMemoryKind[] = "EOutOfMemory";
// The report's message when the run runs out of memory.
inline constexpr char kOutOfMemoryMessage[] = "Out of memory";

// The messages of the error report for the codes that have a text of their
// own; any other code reads "I/O error <code>". 100, 101 and 106 are the
// runtime's own I/O codes (read past the end, disk full, bad number), kept
// with their texts so that a report reads as it always has; a full disk
// from the system is code 112 and reads "I/O error 112".
struct CodeText {
  uint32_t code;
  const char* text;
};
inline constexpr CodeText kInOutErrorTexts[] = {
    {2, "File not found"},
    {3, "Invalid filename"},
    {4, "Too many open files"},
    {5, "File access denied"},
    {100, "Read beyond end of file"},
    {101, "Disk full"},
    {106, "Invalid numeric input"},
};

// Numbered names count from 1 (report1.pdf), and the position of the
// extension's dot is 1-based (0: none), as the program has always counted
// them; the names already in users' folders follow this count.
inline constexpr uint32_t kFirstNameNumber = 1;

}  // namespace stashwell

#endif  // STASHWELL_RUN_FIXED_TEXTS_H_
