// Helpers shared by the end-to-end tests, which run the built program.
#pragma once

#include <unistd.h>

#include <string>
#include <vector>

#include "app/messages.h"
#include "child_process.h"
#include "output/progress.h"

inline std::vector<std::string> program(std::vector<std::string> args) {
  args.insert(args.begin(), TINDERMOSS_BINARY);
  return args;
}

inline std::string sjis(MessageKey key) {
  return std::string(message_text(key, ConsoleEncoding::SHIFT_JIS));
}

inline const std::string SCALE(PROGRESS_SCALE);
inline const std::string FULL_BAR = SCALE + std::string(50, '#');

// True for a report of days, hours, minutes and seconds as the program writes it: each unit
// after its number, the larger units optional but none skipped once one is there, then the
// milliseconds as three digits.
inline bool well_formed_time(const std::string& report) {
  const std::string units[] = {sjis(UNIT_DAYS), sjis(UNIT_HOURS), sjis(UNIT_MINUTES),
                               sjis(UNIT_SECONDS)};
  std::size_t at = 0;
  bool started = false;
  for (const std::string& unit : units) {
    std::size_t digits_end = report.find_first_not_of("0123456789", at);
    bool here = digits_end != at && digits_end != std::string::npos &&
                report.compare(digits_end, unit.size(), unit) == 0;
    if (!here && (started || &unit == &units[3])) return false;
    if (here) {
      at = digits_end + unit.size();
      started = true;
    }
  }
  return report.size() == at + 3 && report.find_first_not_of("0123456789", at) == std::string::npos;
}

// The console bytes with the time report after MSG_ELAPSED replaced by "<time>", after checking
// that it is well formed.
inline std::string without_time(const std::string& err) {
  std::string elapsed = sjis(MSG_ELAPSED);
  std::size_t start = err.find(elapsed);
  if (start == std::string::npos) return err;
  start += elapsed.size();
  std::size_t end = err.find('\n', start);
  std::string report = err.substr(start, end - start);
  if (!well_formed_time(report)) return err + "<malformed time: " + report + ">";
  return err.substr(0, start) + "<time>" + err.substr(end);
}

// The console bytes of a run that completes: the computation's bar, the report, the writing bar.
inline std::string completed_console(unsigned final_n) {
  return sjis(MSG_CALCULATING) + FULL_BAR + "\n" + sjis(MSG_FINISHED) + sjis(MSG_MAX_N) +
         std::to_string(final_n) + "\n" + sjis(MSG_ELAPSED) + "<time>\n" + sjis(MSG_WRITING) +
         FULL_BAR;
}
