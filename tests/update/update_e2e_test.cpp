// The real velkupdateutil against the stand-in agent, each run in a machine of its own: what the
// agent journals, what the message-box and event logs hold, and the exit status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "update_fixture.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kCode = "{B0000000-0000-0000-0000-000000000001}";
const std::string kRegister = "RegisterProduct(\"" + kCode + "\", \"9.7.0\", 1033, \"\", \"Default\", -1, \"\")";
const std::string kSchedule7 = "SetProductSchedule(\"" + kCode + "\", 7)";
const std::string kShow = "ShowProductUpdates(\"" + kCode + "\", 8)";
const std::string kGetProduct = "GetProduct(\"" + kCode + "\")";
const std::string kGetStatus = "GetStatus()";
const std::string kUnregister = "UnregisterProduct(\"" + kCode + "\", \"Default\", -1)";

class UtilityRun : public tarn::test::UpdateMachine {
 protected:
  void SetUp() override { InstallAgent(); }
};

// The actions run in one fixed order whatever the order of the options.
class ActionOrder : public UtilityRun, public ::testing::WithParamInterface<Lines> {};

TEST_P(ActionOrder, EveryActionInTheFixedOrder) {
  EXPECT_EQ(0, Run(GetParam()));
  EXPECT_EQ((Lines {kRegister, kSchedule7, kShow, kGetProduct, kGetStatus, kUnregister}), Journal());
  EXPECT_TRUE(MessageBoxes().empty());
  EXPECT_TRUE(EventLog().empty());
}

INSTANTIATE_TEST_SUITE_P(
    OptionOrders, ActionOrder,
    ::testing::Values(
        Lines {"-ver", "9.7.0", "-unregister", "-ismes", "-display", "-schedule", "7", "-register",
               "-guid", kCode},
        Lines {"-guid", kCode, "-ver", "9.7.0", "-register", "-schedule", "7", "-display", "-ismes",
               "-unregister"},
        Lines {"-UNREGISTER", "-Schedule", "7", "-IsMes", "-guid", kCode, "-Display", "-VER", "9.7.0"}));

TEST_F(UtilityRun, RegisterAndDisplayRegisterOnce) {
  EXPECT_EQ(0, Run({"-guid", kCode, "-ver", "9.7.0", "-register", "-display"}));
  EXPECT_EQ((Lines {kRegister, kShow}), Journal());
}

TEST_F(UtilityRun, PositiveDisplayStatusSkipsTheRest) {
  AnswerDword(kCode, "ShowUpdatesStatus", 1);
  EXPECT_EQ(0, Run({"-guid", kCode, "-ver", "9.7.0", "-display", "-ismes", "-conf", "-unregister"}));
  EXPECT_EQ((Lines {kRegister, kShow}), Journal());
}

TEST_F(UtilityRun, ProductStatusZeroSkipsTheRest) {
  AnswerDword(kCode, "ProductStatus", 0);
  EXPECT_EQ(0, Run({"-guid", kCode, "-ver", "9.7.0", "-register", "-ismes", "-conf", "-unregister"}));
  EXPECT_EQ((Lines {kRegister, kGetProduct, kGetStatus}), Journal());
}

TEST_F(UtilityRun, UnregisteredProductHasNoObjectAndFailsTheStatusAction) {
  EXPECT_EQ(0, Run({"-guid", kCode, "-ver", "9.7.0", "-ismes", "-unregister"}));
  EXPECT_EQ((Lines {kGetProduct}), Journal());
}

TEST_F(UtilityRun, RegistrationPersistsBetweenRuns) {
  EXPECT_EQ(0, Run({"-guid", kCode, "-ver", "9.7.0", "-register"}));
  EXPECT_EQ(0, Run({"-guid", kCode, "-ver", "9.7.0", "-ismes", "-unregister"}));
  EXPECT_EQ(0, Run({"-guid", kCode, "-ver", "9.7.0", "-ismes", "-unregister"}));
  EXPECT_EQ((Lines {kRegister, kGetProduct, kGetStatus, kUnregister, kGetProduct}), Journal());
}

TEST_F(UtilityRun, LanguageAloneCallsNothing) {
  EXPECT_EQ(0, Run({"-guid", kCode, "-ver", "9.7.0", "-language"}));
  EXPECT_TRUE(Journal().empty());
  EXPECT_TRUE(MessageBoxes().empty());
}

TEST_F(UtilityRun, ConfWithTheCommandLineIdentitySendsNothing) {
  EXPECT_EQ(0, Run({"-guid", kCode, "-ver", "9.7.0", "-conf"}));
  EXPECT_TRUE(Journal().empty());
  EXPECT_EQ(0, Run({"-guid", kCode, "-ver", "9.7.0", "-register", "-conf", "-unregister"}));
  EXPECT_EQ((Lines {kRegister, kUnregister}), Journal());
}

TEST_F(UtilityRun, ScheduleValueIsReadFromItsLeadingDigits) {
  EXPECT_EQ(0, Run({"-guid", kCode, "-ver", "9.7.0", "-schedule", "7days"}));
  EXPECT_EQ(0, Run({"-guid", kCode, "-ver", "9.7.0", "-schedule", "weekly"}));
  EXPECT_EQ(0, Run({"-guid", kCode, "-ver", "9.7.0", "-schedule"}));  // no value: ignored
  EXPECT_EQ((Lines {kSchedule7, "SetProductSchedule(\"" + kCode + "\", 0)"}), Journal());
}

TEST_F(UtilityRun, SystemLanguageChoosesTheRegisteredLocale) {
  const struct {
    const char* language;
    const char* locale;
  } cases[] = {{"0C0A", "1034"}, {"0407", "1031"}, {"0409", "1033"}, {"0436", "1033"}};
  for (const auto& c : cases) {
    ImportText(std::string("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\Language]\n"
                           "\"Default\"=\"") + c.language + "\"\n");
    EXPECT_EQ(0, Run({"-guid", kCode, "-ver", "9.7.0", "-register"}));
    const Lines journal = Journal();
    ASSERT_FALSE(journal.empty());
    EXPECT_EQ("RegisterProduct(\"" + kCode + "\", \"9.7.0\", " + c.locale + ", \"\", \"Default\", -1, \"\")",
              journal.back())
        << c.language;
  }
}

TEST_F(UtilityRun, InjectedFailureEndsTheRunAndIsReported) {
  AnswerText(kCode, "FailOperation", "ShowProductUpdates");
  AnswerDword(kCode, "FailStatus", 0x80004005u);
  AnswerText(kCode, "FailDescription", "Update catalogue unreachable");
  EXPECT_EQ(0, Run({"-guid", kCode, "-ver", "9.7.0", "-display", "-ismes", "-unregister"}));
  EXPECT_EQ((Lines {kRegister, kShow}), Journal());

  const std::string expected =
      "Update Service call failed: status 0x80004005 (Unspecified error), interface "
      "{F2EE57D6-8EFA-4807-A26A-3E1CA19040B4}, description \"Update catalogue unreachable\"";
  const Lines events = EventLog();
  ASSERT_EQ(1u, events.size());
  EXPECT_NE(std::string::npos, events[0].find(" velkupdateutil Error " + expected)) << events[0];
  EXPECT_EQ((Lines {expected}), DebugOutput());
  EXPECT_TRUE(MessageBoxes().empty());
}

TEST_F(UtilityRun, FailedRegistrationStopsBeforeAnyOtherCall) {
  AnswerText(kCode, "FailOperation", "RegisterProduct");
  AnswerDword(kCode, "FailStatus", 0x8007000Eu);
  EXPECT_EQ(0, Run({"-guid", kCode, "-ver", "9.7.0", "-register", "-schedule", "7", "-unregister"}));
  EXPECT_EQ((Lines {kRegister}), Journal());
  ASSERT_EQ(1u, EventLog().size());
  EXPECT_NE(std::string::npos, EventLog()[0].find("status 0x8007000E")) << EventLog()[0];
}

class NoAgent : public tarn::test::UpdateMachine {};

TEST_F(NoAgent, OneMessageBoxNothingJournaledExitZero) {
  EXPECT_EQ(0, Run({"-ver", "9.7.0", "-unregister", "-ismes", "-display", "-schedule", "7", "-register",
                    "-guid", kCode}));
  EXPECT_EQ((Lines {"[Error] The Update Service is not install on your machine (0x10)"}), MessageBoxes());
  EXPECT_TRUE(Journal().empty());
  EXPECT_TRUE(EventLog().empty());
}

TEST_F(NoAgent, RemovedAgentBehavesAsNeverInstalled) {
  InstallAgent();
  EXPECT_EQ(0, Run({"-guid", kCode, "-ver", "9.7.0", "-register"}));
  RemoveAgent();
  EXPECT_EQ(0, Run({"-guid", kCode, "-ver", "9.7.0", "-display"}));
  EXPECT_EQ((Lines {kRegister}), Journal());  // only the first run reached the agent
  EXPECT_EQ(1u, MessageBoxes().size());
}

TEST_F(NoAgent, ActionsWithoutRegistrationFailQuietly) {
  // Schedule, status and unregister check for the agent themselves: no call, no message.
  EXPECT_EQ(0, Run({"-guid", kCode, "-ver", "9.7.0", "-schedule", "3", "-ismes", "-unregister"}));
  EXPECT_EQ(0, Run({"-guid", kCode, "-ver", "9.7.0", "-schedule", "3", "-unregister"}));
  EXPECT_TRUE(MessageBoxes().empty());
  EXPECT_TRUE(Journal().empty());
}

TEST_F(NoAgent, NoArgumentsAndUnknownArgumentsExitZero) {
  EXPECT_EQ(0, Run({}));
  EXPECT_EQ(0, Run({"--help", "/?", "-registerx"}));
  EXPECT_TRUE(MessageBoxes().empty());
}

}  // namespace
