// A machine for the update utility's tests: a temporary platform root with the stand-in agent
// installed from the build's usagent.reg, registry answers for the agent, and readers for what
// the run left behind (the agent's journal, the message-box log, the event log).
#pragma once

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/regfile.h"
#include "test_root.h"

extern char** environ;

namespace tarn::test {

inline std::string BinDir() {
  const char* dir = std::getenv("TARN_BIN_DIR");
  return dir != nullptr ? dir : ".";
}

inline std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class UpdateMachine : public ::testing::Test {
 protected:

  void InstallAgent() { Import(BinDir() + "/usagent.reg"); }
  void RemoveAgent() { Import(BinDir() + "/usagent-remove.reg"); }

  void Import(const std::string& file) {
    tarn::platform::RegFileError error;
    ASSERT_TRUE(tarn::platform::ImportRegFile(file, &error)) << error.ToString();
  }
  void ImportText(const std::string& text) {
    tarn::platform::RegFileError error;
    ASSERT_TRUE(tarn::platform::ImportRegText("Windows Registry Editor Version 5.00\n\n" + text,
                                              "test.reg", &error))
        << error.ToString();
  }

  // A registry answer of the stand-in agent for `code`.
  void AnswerDword(const std::string& code, const std::string& name, std::uint32_t value) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08x", value);
    ImportText("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velk\\UpdateAgentStandIn\\Products\\" + code + "]\n\"" +
               name + "\"=dword:" + hex + "\n");
  }
  void AnswerText(const std::string& code, const std::string& name, const std::string& text) {
    ImportText("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velk\\UpdateAgentStandIn\\Products\\" + code + "]\n\"" +
               name + "\"=\"" + text + "\"\n");
  }

  std::vector<std::string> Journal() const { return ReadLines(root_.path() + "/agent/calls.log"); }
  std::vector<std::string> MessageBoxes() const {
    return ReadLines(root_.path() + "/desktop/messageboxes.log");
  }
  std::vector<std::string> EventLog() const {
    return ReadLines(root_.path() + "/eventlog/Application.log");
  }
  std::vector<std::string> DebugOutput() const { return ReadLines(root_.path() + "/debug/output.log"); }

  // Runs `program` (in the bin directory) with `args` in this machine; the exit status, or -1
  // when it did not end normally.
  int Run(const std::vector<std::string>& args, const std::string& program = "velkupdateutil") {
    const std::string path = BinDir() + "/" + program;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -2;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -3;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  TempPlatformRoot root_;
};

}  // namespace tarn::test
