// Entry point of the update utility. It has no console output and its exit status is always 0:
// what the actions did is seen in the agent, the message-box log and the event log.
#include <exception>
#include <string>

#include "platform/com.h"
#include "platform/diagnostics.h"
#include "update/updateservice.h"

namespace {
void Report(const std::string& line) {
  tarn::platform::ReportEvent("velkupdateutil", tarn::platform::EVENTLOG_ERROR_TYPE, line.c_str());
  tarn::platform::OutputDebugString(line.c_str());
}
}  // namespace

int main(int argc, char** argv) {
  try {
    CUpdateServiceFactory factory(argc, argv);
    factory.Run();
  } catch (const tarn::platform::ComError& error) {
    // A failing agent call ends the run: the service is already gone, no further action runs.
    Report(DescribeComError(error));
  } catch (const std::exception& error) {
    Report(std::string("Update Service run failed: ") + error.what());
  }
  return 0;
}
