// The update service in this process against the stand-in agent: the machine description and
// its way into the profile store, COM's lifetime, and the service without an agent.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "update/updateservice.h"
#include "update_fixture.h"

namespace tp = tarn::platform;

namespace {

using Lines = std::vector<std::string>;
const std::string kCode = "{B0000000-0000-0000-0000-000000000001}";

// A service that sends its machine description as the product services do, with its members
// readable.
class ServiceProbe : public CVelkUpdateService {
 public:
  ServiceProbe() : CVelkUpdateService(kCode.c_str(), "9.7.0") {}
  std::int32_t SendMachineInfo() override { return SendMachineInfoToProfile(); }
  std::string OsName() const { return osName.ansi(); }
  std::string Architecture() const { return processorArchitecture.ansi(); }
  std::string ServicePack() const { return servicePack.ansi(); }
  std::string Location() const { return location.ansi(); }
  bool HasAgent() const { return agent != nullptr; }
};

std::string Property(const std::string& name, const std::string& value) {
  return "SetCollectionProperty(\"" + kCode + "\", \"UserCollection\", \"" + name + "\", \"" + value + "\")";
}

class MachineDescription : public tarn::test::UpdateMachine {
 protected:
  void SetUp() override { InstallAgent(); }
  void Describe(const std::string& currentVersion, const std::string& csd, const std::string& arch,
                const std::string& nation) {
    ImportText("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\n"
               "\"CurrentVersion\"=\"" + currentVersion + "\"\n\"CSDVersion\"=\"" + csd + "\"\n\n"
               "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment]\n"
               "\"PROCESSOR_ARCHITECTURE\"=\"" + arch + "\"\n\n"
               "[HKEY_CURRENT_USER\\Control Panel\\International\\Geo]\n\"Nation\"=\"" + nation + "\"\n");
  }
};

TEST_F(MachineDescription, DefaultMachineIsSentInTheFixedOrderAndPairing) {
  ServiceProbe service;
  service.GatherMachineInfo();
  EXPECT_EQ(tp::S_OK, service.SendMachineInfo());
  EXPECT_EQ((Lines {"AddCollection(\"" + kCode + "\", \"UserCollection\")",
                    Property("MachineName", "Windows XP"), Property("MachineLocation", "United States"),
                    Property("MachineVersion", "Service Pack 3"),
                    Property("MachineProcessorArchitecture", "64 bit"), "SaveProfile(\"" + kCode + "\")"}),
            Journal());
}

TEST_F(MachineDescription, DescriptionFollowsTheRegistry) {
  const struct {
    const char* version;
    const char* csd;
    const char* arch;
    const char* nation;
    const char* osName;
    const char* architecture;
    const char* location;
  } cases[] = {
      {"6.0", "", "x86", "217", "Windows Vista", "32 bit", "Spain"},
      {"5.2", "Service Pack 2", "IA64", "94", "Windows Server 2003", "64 bit", "Germany"},
      {"4.10", "", "AMD64", "12345", "", "64 bit", ""},  // unknown version and nation
  };
  for (const auto& c : cases) {
    Describe(c.version, c.csd, c.arch, c.nation);
    ServiceProbe service;
    service.GatherMachineInfo();
    EXPECT_EQ(c.osName, service.OsName()) << c.version;
    EXPECT_EQ(c.csd, service.ServicePack()) << c.version;
    EXPECT_EQ(c.architecture, service.Architecture()) << c.version;
    EXPECT_EQ(c.location, service.Location()) << c.version;
  }
}

TEST_F(MachineDescription, NoServicePackIsSentAsAnEmptyText) {
  Describe("6.0", "", "AMD64", "244");
  ServiceProbe service;
  service.GatherMachineInfo();
  service.SendMachineInfo();
  const Lines journal = Journal();
  ASSERT_EQ(6u, journal.size());
  EXPECT_EQ(Property("MachineVersion", ""), journal[3]);
}

TEST_F(MachineDescription, FailedPropertyStopsTheWorkWithTheProfileManagersError) {
  AnswerText(kCode, "FailOperation", "SetCollectionProperty");
  AnswerDword(kCode, "FailStatus", 0x80070005u);
  ServiceProbe service;
  service.GatherMachineInfo();
  try {
    service.SendMachineInfo();
    FAIL() << "no error raised";
  } catch (const tp::ComError& e) {
    EXPECT_EQ(tp::MakeHresult(0x80070005u), e.Error());
    EXPECT_TRUE(e.Interface() == velk::IID_IProfileMgr6);
    EXPECT_EQ("The stand-in agent was told to fail SetCollectionProperty.", e.Description());
  }
  EXPECT_EQ((Lines {"AddCollection(\"" + kCode + "\", \"UserCollection\")", Property("MachineName", "Windows XP")}),
            Journal());
  EXPECT_EQ(1u, tp::CoInitializeCount());  // the profile manager's client is gone, the service's not
}

TEST_F(MachineDescription, MissingProfileManagerAnswersClassNotRegisteredWithoutACall) {
  ImportText("[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{548E275F-0290-40E7-B454-738B0C61DE60}]\n");
  ServiceProbe service;
  ASSERT_TRUE(service.HasAgent());
  service.GatherMachineInfo();
  EXPECT_EQ(tp::REGDB_E_CLASSNOTREG, service.SendMachineInfo());
  EXPECT_TRUE(Journal().empty());
}

TEST_F(MachineDescription, StringThatCannotBeAllocatedRaisesOutOfMemory) {
  ServiceProbe service;
  tp::SetComStringAllocationLimit(0);
  try {
    service.GatherMachineInfo();
    tp::SetComStringAllocationLimit(-1);
    FAIL() << "no error raised";
  } catch (const tp::ComError& e) {
    tp::SetComStringAllocationLimit(-1);
    EXPECT_EQ(tp::E_OUTOFMEMORY, e.Error());
  }
  // Each of SendMachineInfo's strings too: the five names, then nothing reaches the agent.
  for (long allowed = 0; allowed < 5; ++allowed) {
    tp::SetComStringAllocationLimit(allowed);
    EXPECT_THROW(service.SendMachineInfo(), tp::ComError) << allowed;
    tp::SetComStringAllocationLimit(-1);
  }
  EXPECT_TRUE(Journal().empty());
}

TEST_F(MachineDescription, PlainServiceSendsNothing) {
  CVelkUpdateService service(kCode.c_str(), "9.7.0");
  service.GatherMachineInfo();
  EXPECT_EQ(1, service.SendMachineInfo());
  EXPECT_TRUE(Journal().empty());
}

TEST_F(MachineDescription, ComLivesExactlyAsLongAsTheService) {
  EXPECT_EQ(0u, tp::CoInitializeCount());
  {
    CVelkUpdateService service(kCode.c_str(), "9.7.0");
    EXPECT_EQ(1u, tp::CoInitializeCount());
    EXPECT_EQ(0, service.Register());
    EXPECT_GT(service.CheckStatus(), 0);  // holds a product object until destruction
  }
  EXPECT_EQ(0u, tp::CoInitializeCount());
}

// What Run reports: true when an action failed and the rest were skipped, false otherwise; the
// agent's answers decide, with and without the agent installed.
struct RunCase {
  const char* name;
  bool agent;
  std::vector<std::string> options;  // after "-guid CODE -ver 9.7.0"
  const char* answer;                // a DWORD answer of the stand-in for the code, or null
  std::uint32_t value;
  bool failed;
  std::size_t calls;  // lines the agent journaled
};

class RunResult : public tarn::test::UpdateMachine, public ::testing::WithParamInterface<RunCase> {};

TEST_P(RunResult, TellsWhetherAnActionFailed) {
  const RunCase& c = GetParam();
  if (c.agent) InstallAgent();
  if (c.answer != nullptr) AnswerDword(kCode, c.answer, c.value);
  std::vector<std::string> texts {"velkupdateutil", "-guid", kCode, "-ver", "9.7.0"};
  texts.insert(texts.end(), c.options.begin(), c.options.end());
  std::vector<char*> argv;
  for (std::string& t : texts) argv.push_back(t.data());
  argv.push_back(nullptr);
  CUpdateServiceFactory factory(static_cast<int>(texts.size()), argv.data());
  EXPECT_EQ(c.failed, factory.Run());
  EXPECT_EQ(c.calls, Journal().size());
  EXPECT_EQ(0u, tp::CoInitializeCount());  // the service is gone whatever happened
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunResult,
    ::testing::Values(
        RunCase {"NoActions", true, {}, nullptr, 0, false, 0},
        RunCase {"RegisterAndDisplay", true, {"-register", "-display"}, nullptr, 0, false, 2},
        RunCase {"PositiveDisplayStatus", true, {"-display", "-unregister"}, "ShowUpdatesStatus", 1, true, 2},
        RunCase {"RegisteredStatus", true, {"-register", "-ismes", "-unregister"}, nullptr, 0, false, 4},
        RunCase {"ProductStatusZero", true, {"-register", "-ismes", "-unregister"}, "ProductStatus", 0, true, 3},
        RunCase {"NegativeProductStatus", true, {"-register", "-ismes"}, "ProductStatus", 0xFFFFFFFFu, true, 3},
        RunCase {"UnregisteredHasNoObject", true, {"-ismes", "-unregister"}, nullptr, 0, true, 1},
        RunCase {"ConfOfThePlainService", true, {"-conf"}, nullptr, 0, false, 0},
        RunCase {"LanguageAlone", true, {"-language"}, nullptr, 0, false, 0},
        RunCase {"NoAgentRegister", false, {"-register", "-unregister"}, nullptr, 0, true, 0},
        RunCase {"NoAgentStatus", false, {"-ismes"}, nullptr, 0, true, 0},
        RunCase {"NoAgentScheduleAndUnregister", false, {"-schedule", "3", "-unregister"}, nullptr, 0, false, 0}),
    [](const ::testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });

class WithoutAgent : public tarn::test::UpdateMachine {};

TEST_F(WithoutAgent, OnlyRegisterSpeaksUp) {
  CVelkUpdateService service(kCode.c_str(), "9.7.0");
  service.Schedule(7);
  service.Unregister();
  EXPECT_EQ(-1, service.CheckStatus());
  EXPECT_TRUE(MessageBoxes().empty());
  EXPECT_EQ(-1, service.Register());
  EXPECT_EQ((Lines {"[Error] The Update Service is not install on your machine (0x10)"}), MessageBoxes());
  EXPECT_NE(0, service.ShowUpdates());
}

}  // namespace
