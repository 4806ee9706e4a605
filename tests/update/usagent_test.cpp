// The stand-in agent on its own: installation from usagent.reg, the journal's exact lines, the
// store, and the registry answers.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/com.h"
#include "update/usagent.h"
#include "update_fixture.h"

namespace tp = tarn::platform;

namespace {

using Lines = std::vector<std::string>;
const std::string kCode = "{B0000000-0000-0000-0000-000000000001}";

class StandInAgent : public tarn::test::UpdateMachine {
 protected:
  void SetUp() override {
    InstallAgent();
    ASSERT_EQ(tp::S_OK, tp::CoInitialize(nullptr));
    ASSERT_EQ(tp::S_OK, tp::CoCreateInstance(velk::CLSID_USAgent, nullptr, velk::kAgentContext,
                                             velk::IID_IUSAgent6, reinterpret_cast<void**>(&agent_)));
    ASSERT_EQ(tp::S_OK, tp::CoCreateInstance(velk::CLSID_ProfileMgr, nullptr, velk::kProfileManagerContext,
                                             velk::IID_IProfileMgr6, reinterpret_cast<void**>(&profile_)));
  }
  void TearDown() override {
    if (agent_ != nullptr) agent_->Release();
    if (profile_ != nullptr) profile_->Release();
    tp::CoUninitialize();
  }

  tp::HRESULT Register(const tp::ComString& code) {
    return agent_->RegisterProduct(code.bstr(), tp::ComString("9.7.0").bstr(), 1033, tp::ComString("").bstr(),
                                   tp::ComString("Default").bstr(), -1, tp::ComString("").bstr());
  }
  velk::IUSProduct6* Product(const tp::ComString& code) {
    velk::IUSProduct6* product = nullptr;
    EXPECT_EQ(tp::S_OK, agent_->GetProduct(code.bstr(), &product));
    return product;
  }

  velk::IUSAgent6* agent_ = nullptr;
  velk::IProfileMgr6* profile_ = nullptr;
  const tp::ComString code_ {kCode};
};

TEST_F(StandInAgent, EveryOperationJournalsItsExactLine) {
  const tp::ComString coll("UserCollection");
  EXPECT_EQ(tp::S_OK, Register(code_));
  EXPECT_EQ(tp::S_OK, agent_->SetProductSchedule(code_.bstr(), 7));
  EXPECT_EQ(tp::S_OK, agent_->ShowProductUpdates(code_.bstr(), 8));
  velk::IUSProduct6* product = Product(code_);
  ASSERT_NE(nullptr, product);
  tp::LONG status = -1;
  EXPECT_EQ(tp::S_OK, product->GetStatus(&status));
  EXPECT_EQ(1, status);
  EXPECT_EQ(tp::S_OK, profile_->AddCollection(code_.bstr(), coll.bstr()));
  EXPECT_EQ(tp::S_OK, profile_->SetCollectionProperty(code_.bstr(), coll.bstr(), tp::ComString("MachineName").bstr(),
                                                      tp::ComString("Windows XP").bstr()));
  EXPECT_EQ(tp::S_OK, profile_->SaveProfile(code_.bstr()));
  EXPECT_EQ(tp::S_OK, agent_->UnregisterProduct(code_.bstr(), tp::ComString("Default").bstr(), -1));
  status = -5;
  EXPECT_EQ(tp::S_OK, product->GetStatus(&status));  // registration gone: status 0
  EXPECT_EQ(0, status);
  product->Release();
  EXPECT_EQ((Lines {
                "RegisterProduct(\"" + kCode + "\", \"9.7.0\", 1033, \"\", \"Default\", -1, \"\")",
                "SetProductSchedule(\"" + kCode + "\", 7)",
                "ShowProductUpdates(\"" + kCode + "\", 8)",
                "GetProduct(\"" + kCode + "\")",
                "GetStatus()",
                "AddCollection(\"" + kCode + "\", \"UserCollection\")",
                "SetCollectionProperty(\"" + kCode + "\", \"UserCollection\", \"MachineName\", \"Windows XP\")",
                "SaveProfile(\"" + kCode + "\")",
                "UnregisterProduct(\"" + kCode + "\", \"Default\", -1)",
                "GetStatus()",
            }),
            Journal());
}

TEST_F(StandInAgent, TextsAreQuotedSoThatEveryLineStaysOneLine) {
  const tp::ComString odd("a\"b\\c\nd");
  agent_->SetProductSchedule(odd.bstr(), -3);
  agent_->SetProductSchedule(nullptr, 0);  // a null COM string is the empty text
  EXPECT_EQ((Lines {"SetProductSchedule(\"a\\\"b\\\\c\\x0Ad\", -3)", "SetProductSchedule(\"\", 0)"}), Journal());
}

TEST_F(StandInAgent, RegistrationsLiveInTheStoreAndCompareWithoutCase) {
  EXPECT_EQ(nullptr, Product(code_));  // not registered: a null object
  EXPECT_EQ(tp::S_OK, Register(code_));
  // A second agent object (as a later run would create) sees the registration.
  velk::IUSAgent6* other = nullptr;
  ASSERT_EQ(tp::S_OK, tp::CoCreateInstance(velk::CLSID_USAgent, nullptr, velk::kAgentContext, velk::IID_IUSAgent6,
                                           reinterpret_cast<void**>(&other)));
  velk::IUSProduct6* product = nullptr;
  EXPECT_EQ(tp::S_OK, other->GetProduct(tp::ComString("{b0000000-0000-0000-0000-000000000001}").bstr(), &product));
  ASSERT_NE(nullptr, product);
  product->Release();
  const tp::ComString profile("Default");
  EXPECT_EQ(tp::S_OK, other->UnregisterProduct(code_.bstr(), profile.bstr(), -1));
  EXPECT_EQ(tp::S_FALSE, other->UnregisterProduct(code_.bstr(), profile.bstr(), -1));  // nothing left
  other->Release();
  EXPECT_EQ(nullptr, Product(code_));
}

TEST_F(StandInAgent, AnswersComeFromTheProductsRegistryKey) {
  AnswerDword(kCode, "ShowUpdatesStatus", 5);
  AnswerDword(kCode, "ProductStatus", 7);
  EXPECT_EQ(5, agent_->ShowProductUpdates(code_.bstr(), 8));
  EXPECT_EQ(tp::S_OK, Register(code_));
  velk::IUSProduct6* product = Product(code_);
  ASSERT_NE(nullptr, product);
  tp::LONG status = 0;
  product->GetStatus(&status);
  EXPECT_EQ(7, status);
  product->Release();
  // Another code has no answers: the defaults.
  EXPECT_EQ(tp::S_OK, agent_->ShowProductUpdates(tp::ComString("{other}").bstr(), 8));
}

TEST_F(StandInAgent, InjectedFailureForEachOperation) {
  const tp::ComString coll("UserCollection");
  const tp::ComString text("x");
  struct Case {
    const char* operation;
    std::function<tp::HRESULT()> call;
    const tp::IID* iid;
    tp::IUnknown* object;
  };
  ASSERT_EQ(tp::S_OK, Register(code_));
  velk::IUSProduct6* product = Product(code_);
  ASSERT_NE(nullptr, product);
  tp::LONG status = 0;
  const Case cases[] = {
      {"RegisterProduct", [&] { return Register(code_); }, &velk::IID_IUSAgent6, agent_},
      {"SetProductSchedule", [&] { return agent_->SetProductSchedule(code_.bstr(), 1); }, &velk::IID_IUSAgent6, agent_},
      {"ShowProductUpdates", [&] { return agent_->ShowProductUpdates(code_.bstr(), 8); }, &velk::IID_IUSAgent6, agent_},
      {"GetProduct", [&] { velk::IUSProduct6* p = nullptr; return agent_->GetProduct(code_.bstr(), &p); },
       &velk::IID_IUSAgent6, agent_},
      {"GetStatus", [&] { return product->GetStatus(&status); }, &velk::IID_IUSProduct6, product},
      {"AddCollection", [&] { return profile_->AddCollection(code_.bstr(), coll.bstr()); }, &velk::IID_IProfileMgr6,
       profile_},
      {"SetCollectionProperty",
       [&] { return profile_->SetCollectionProperty(code_.bstr(), coll.bstr(), text.bstr(), text.bstr()); },
       &velk::IID_IProfileMgr6, profile_},
      {"SaveProfile", [&] { return profile_->SaveProfile(code_.bstr()); }, &velk::IID_IProfileMgr6, profile_},
      {"UnregisterProduct",
       [&] { return agent_->UnregisterProduct(code_.bstr(), tp::ComString("Default").bstr(), -1); },
       &velk::IID_IUSAgent6, agent_},
  };
  AnswerDword(kCode, "FailStatus", 0x80040200u);
  for (const Case& c : cases) {
    AnswerText(kCode, "FailOperation", c.operation);
    const tp::HRESULT hr = c.call();
    EXPECT_EQ(tp::MakeHresult(0x80040200u), hr) << c.operation;
    try {
      tp::ComIssueErrorEx(hr, c.object, *c.iid);
    } catch (const tp::ComError& e) {
      EXPECT_EQ(std::string("The stand-in agent was told to fail ") + c.operation + ".", e.Description())
          << c.operation;
    }
  }
  product->Release();
  // The failed unregistration left the product registered.
  velk::IUSProduct6* still = nullptr;
  AnswerText(kCode, "FailOperation", "none");
  EXPECT_EQ(tp::S_OK, agent_->GetProduct(code_.bstr(), &still));
  ASSERT_NE(nullptr, still);
  still->Release();
}

TEST_F(StandInAgent, SlotsTheUtilityDoesNotCallAnswerNotImplemented) {
  EXPECT_EQ(tp::E_NOTIMPL, agent_->Slot3());
  EXPECT_EQ(tp::E_NOTIMPL, agent_->Slot21());
  EXPECT_EQ(tp::E_NOTIMPL, profile_->Slot9());
  void* none = nullptr;
  EXPECT_EQ(tp::E_NOINTERFACE, agent_->QueryInterface(velk::IID_IProfileMgr6, &none));
  EXPECT_TRUE(Journal().empty());
}

TEST_F(StandInAgent, RemoveFileUninstallsBothClasses) {
  RemoveAgent();
  void* object = nullptr;
  EXPECT_EQ(tp::REGDB_E_CLASSNOTREG, tp::CoCreateInstance(velk::CLSID_USAgent, nullptr, velk::kAgentContext,
                                                          velk::IID_IUSAgent6, &object));
  EXPECT_EQ(tp::REGDB_E_CLASSNOTREG, tp::CoCreateInstance(velk::CLSID_ProfileMgr, nullptr,
                                                          velk::kProfileManagerContext, velk::IID_IProfileMgr6,
                                                          &object));
}

}  // namespace
