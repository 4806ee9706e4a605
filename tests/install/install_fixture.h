// A test with a machine of its own: a temporary platform root into which the test imports the
// registry fixtures (.reg files under tests/install/fixtures) it needs.
//
// A fixture may write @ROOT@ for the platform root, so that install paths name directories that
// exist during the test (Import creates the directories such a path names).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/regfile.h"
#include "test_root.h"

#ifndef TARN_INSTALL_FIXTURES
#error "TARN_INSTALL_FIXTURES must name the fixture directory"
#endif

namespace tarn::test {

class InstallRegistryTest : public ::testing::Test {
 protected:
  // Imports fixtures/<name>, with @ROOT@ replaced by the platform root.
  void Import(const std::string& name) {
    const std::string file = std::string(TARN_INSTALL_FIXTURES) + "/" + name;
    std::ifstream in(file, std::ios::binary);
    ASSERT_TRUE(in) << "cannot read " << file;
    std::stringstream content;
    content << in.rdbuf();
    std::string text = content.str();
    platform::RegFileError error;
    if (text.find("@ROOT@") == std::string::npos) {
      ASSERT_TRUE(platform::ImportRegFile(file, &error)) << error.ToString();
      return;
    }
    for (auto at = text.find("@ROOT@"); at != std::string::npos; at = text.find("@ROOT@", at)) {
      text.replace(at, 6, root_.path());
      // The directory named by a quoted value on this line exists, as an installed copy's would
      // (a comment that mentions the placeholder names nothing).
      const auto lineStart = text.rfind('\n', at) == std::string::npos ? 0 : text.rfind('\n', at) + 1;
      const auto quote = text.rfind('"', at);
      const auto end = text.find('"', at);
      const auto lineEnd = text.find('\n', at);
      if (quote != std::string::npos && quote >= lineStart && end != std::string::npos &&
          (lineEnd == std::string::npos || end < lineEnd))
        std::filesystem::create_directories(text.substr(quote + 1, end - quote - 1));
      at += root_.path().size();
    }
    ASSERT_TRUE(platform::ImportRegText(text, file, &error)) << error.ToString();
  }

  const std::string& Root() const { return root_.path(); }

  // The lines of the debugger output so far.
  std::string DebugOutput() const {
    std::ifstream in(root_.path() + "/debug/output.log");
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }

 private:
  TempPlatformRoot root_;
};

}  // namespace tarn::test
