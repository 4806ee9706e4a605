// The update service's actions against the agent: register, language, schedule, display, status
// and unregister.
#include "update/updateservice.h"

#include "platform/diagnostics.h"
#include "platform/machine.h"

namespace tp = tarn::platform;

CVelkUpdateService::CVelkUpdateService(const char* code, const char* versionText)
    : productStatus(-1),
      productObject(nullptr),
      languageId(0),
      localeId(1033) {
  // A missing agent leaves `agent` null: Register reports it, the other actions skip the call.
  Create(velk::CLSID_USAgent, velk::kAgentContext, velk::IID_IUSAgent6);
  version = tp::ComString(versionText != nullptr ? versionText : "");
  productCode = tp::ComString(code != nullptr ? code : "");
}

CVelkUpdateService::~CVelkUpdateService() {
  location = tp::ComString();
  servicePack = tp::ComString();
  processorArchitecture = tp::ComString();
  osName = tp::ComString();
  if (productObject != nullptr) {
    velk::IUSProduct6* held = productObject;
    productObject = nullptr;
    held->Release();
  }
  productCode = tp::ComString();
  version = tp::ComString();
  // The client base then releases the agent and uninitialises COM.
}

std::int32_t CVelkUpdateService::SendMachineInfo() { return 1; }

std::int32_t CVelkUpdateService::Register() {
  if (agent == nullptr) {
    tp::MessageBox(kNotInstalledText, kNotInstalledCaption, tp::MB_OK | tp::MB_ICONERROR);
    return -1;
  }
  SelectLanguage();
  const tp::ComString empty("");
  const tp::ComString profile("Default");
  Check(agent->RegisterProduct(productCode.bstr(), version.bstr(), localeId, empty.bstr(),
                               profile.bstr(), -1, empty.bstr()),
        velk::IID_IUSAgent6);
  return 0;
}

void CVelkUpdateService::SelectLanguage() {
  languageId = tp::GetSystemDefaultLangID();
  localeId = MapLanguageToLocale(languageId);
}

std::int32_t CVelkUpdateService::MapLanguageToLocale(std::uint16_t id) {
  // Languages the agent has its own locale for; Spanish in modern sort (3082) is served by the
  // traditional-sort locale, everything else by US English.
  static constexpr std::uint16_t kOwnLocale[] = {
      1026, 1027, 1028, 1029, 1030, 1031, 1032, 1034, 1035, 1036, 1038,
      1040, 1041, 1042, 1043, 1044, 1045, 1046, 1048, 1049, 1050, 1051,
      1053, 1054, 1055, 1057, 1060, 1069, 2052, 2070, 2074, 3084};
  for (std::uint16_t own : kOwnLocale)
    if (id == own) return id;
  if (id == 3082) return 1034;
  return 1033;
}

void CVelkUpdateService::Schedule(std::int32_t value) {
  if (agent == nullptr) return;  // nothing to tell: no agent, no call
  Check(agent->SetProductSchedule(productCode.bstr(), value), velk::IID_IUSAgent6);
}

tp::HRESULT CVelkUpdateService::ShowUpdates() {
  // Run registers first, so a missing agent has already ended the run; answer "not registered"
  // rather than call through nothing.
  if (agent == nullptr) return tp::REGDB_E_CLASSNOTREG;
  return Check(agent->ShowProductUpdates(productCode.bstr(), 8), velk::IID_IUSAgent6);
}

std::int32_t CVelkUpdateService::CheckStatus() {
  if (agent == nullptr) return productStatus;
  velk::IUSProduct6* product = nullptr;
  const tp::HRESULT hr = agent->GetProduct(productCode.bstr(), &product);
  if (tp::FAILED(hr) && product != nullptr) {
    product->Release();  // an object handed out with a failure is not ours to keep
    product = nullptr;
  }
  Check(hr, velk::IID_IUSAgent6);
  if (productObject != nullptr) productObject->Release();
  productObject = product;
  if (productObject != nullptr) {
    tp::LONG status = productStatus;
    productObject->GetStatus(&status);  // its own status is not examined
    productStatus = status;
  }
  return productStatus;
}

void CVelkUpdateService::Unregister() {
  if (agent == nullptr) return;
  const tp::ComString profile("Default");
  Check(agent->UnregisterProduct(productCode.bstr(), profile.bstr(), -1), velk::IID_IUSAgent6);
}
