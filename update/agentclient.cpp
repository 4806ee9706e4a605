// The machine description for "-conf": gathered from the operating system and written into the
// agent's profile store through the profile manager.
#include <cstdio>
#include <string>

#include "platform/machine.h"
#include "update/updateservice.h"

namespace tp = tarn::platform;

tp::ComString CVelkUpdateService::OsNameFor(std::uint32_t major, std::uint32_t minor,
                                            const tp::ComString& current) {
  // Checked in this order: the minor number alone decides for 0 and 1, then 5.2, then any other
  // 6.x; an unknown version keeps what the member held.
  if (minor == 0) return tp::ComString("Windows Vista");
  if (minor == 1) return tp::ComString("Windows XP");
  if (major == 5 && minor == 2) return tp::ComString("Windows Server 2003");
  if (major == 6) return tp::ComString("Windows Vista");
  return current;
}

const char* CVelkUpdateService::ArchitectureName(std::uint16_t code) {
  switch (code) {
    case tp::PROCESSOR_ARCHITECTURE_IA64:
    case tp::PROCESSOR_ARCHITECTURE_AMD64:
    case tp::PROCESSOR_ARCHITECTURE_IA32_ON_WIN64:
      return "64 bit";
    default:
      return "32 bit";
  }
}

void CVelkUpdateService::GatherMachineInfo() {
  tp::OSVERSIONINFOEXA versionInfo {};
  versionInfo.dwOSVersionInfoSize = sizeof versionInfo;
  if (!tp::GetVersionEx(&versionInfo)) versionInfo = tp::OSVERSIONINFOEXA {};
  osName = OsNameFor(versionInfo.dwMajorVersion, versionInfo.dwMinorVersion, osName);

  tp::SYSTEM_INFO systemInfo {};
  tp::GetSystemInfo(&systemInfo);
  processorArchitecture = tp::ComString(ArchitectureName(systemInfo.wProcessorArchitecture));

  servicePack = tp::ComString(versionInfo.szCSDVersion);

  // A nation without an English name (or none chosen) gives an empty location, never whatever
  // the buffer held before.
  char nation[64] = {};
  const tp::GEOID geo = tp::GetUserGeoID(tp::GEOCLASS_NATION);
  if (tp::GetGeoInfo(geo, tp::GEO_FRIENDLYNAME, nation, sizeof nation, 1033) == 0) nation[0] = '\0';
  location = tp::ComString(nation);
}

tp::HRESULT CVelkUpdateService::SendMachineInfoToProfile() {
  const tp::ComString collection("UserCollection");
  const tp::ComString machineName("MachineName");
  const tp::ComString machineArchitecture("MachineProcessorArchitecture");
  const tp::ComString machineVersion("MachineVersion");
  const tp::ComString machineLocation("MachineLocation");

  CVelkComClient<velk::IProfileMgr6> profile;
  profile.Create(velk::CLSID_ProfileMgr, velk::kProfileManagerContext, velk::IID_IProfileMgr6);
  if (profile.agent == nullptr) return tp::REGDB_E_CLASSNOTREG;

  const tp::IID& iid = velk::IID_IProfileMgr6;
  velk::IProfileMgr6* manager = profile.agent;
  const tp::BSTR code = productCode.bstr();
  profile.Check(manager->AddCollection(code, collection.bstr()), iid);
  // The names and the values are paired so: the OS name is the "MachineName", the service-pack
  // text the "MachineVersion".
  profile.Check(manager->SetCollectionProperty(code, collection.bstr(), machineName.bstr(), osName.bstr()), iid);
  profile.Check(manager->SetCollectionProperty(code, collection.bstr(), machineLocation.bstr(), location.bstr()), iid);
  profile.Check(manager->SetCollectionProperty(code, collection.bstr(), machineVersion.bstr(), servicePack.bstr()), iid);
  profile.Check(manager->SetCollectionProperty(code, collection.bstr(), machineArchitecture.bstr(),
                                               processorArchitecture.bstr()),
                iid);
  return profile.Check(manager->SaveProfile(code), iid);
}

std::string DescribeComError(const tp::ComError& error) {
  char status[16];
  std::snprintf(status, sizeof status, "0x%08X", static_cast<unsigned>(error.Error()));
  std::string line = "Update Service call failed: status ";
  line += status;
  line += " (" + error.ErrorMessage() + "), interface ";
  line += tp::StringFromGUID(error.Interface());
  line += ", description \"" + error.Description() + "\"";
  return line;
}
