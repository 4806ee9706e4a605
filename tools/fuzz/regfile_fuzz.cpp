// Fuzz target of the registry-file parser. It parses only: the registry is never opened, so the
// target needs no platform root and cannot change a machine.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/regfile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarn::platform;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<RegFileStep> steps;
  RegFileError error;
  if (ParseRegText(text, "fuzz.reg", &steps, &error)) {
    // A parsed file: every step names a line of the file and a hive.
    for (const RegFileStep& step : steps) {
      if (step.line < 1 || step.root == nullptr) __builtin_trap();
    }
  } else {
    // An error names the file, and a line no further than the text reaches.
    if (error.file != "fuzz.reg" || error.message.empty() || error.line < 0) __builtin_trap();
    const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    if (static_cast<std::size_t>(error.line) > lines) __builtin_trap();
    (void)error.ToString();
  }
  return 0;
}
