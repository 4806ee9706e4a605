// The update utility: the service factory that turns the command line into actions, and the
// update service that performs them against the update-service agent.
//
// One run:
//   main -> CUpdateServiceFactory(argc, argv)   parse the options; when the product code or the
//                                               version is missing, identify the product from
//                                               the program's own location (DetectProduct)
//        -> Run()                               create the service of the product's kind, perform
//                                               the requested actions in a fixed order (register,
//                                               language, schedule, display, status, machine
//                                               description, unregister), stop at the first
//                                               failure, delete the service
//        -> exit status 0 whatever happened.
// A failing agent call (negative status) raises tarn::platform::ComError; nothing in the service
// or the factory catches it: the entry point does, after the service has been destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/com.h"
#include "update/comclient.h"
#include "update/usagent.h"

// Action bits, four bits apart; one option sets each.
inline constexpr std::uint32_t ACTION_DISPLAY = 0x1;           // "-display"
inline constexpr std::uint32_t ACTION_ISMES = 0x10;            // "-ismes"
inline constexpr std::uint32_t ACTION_SCHEDULE = 0x100;        // "-schedule" VALUE
inline constexpr std::uint32_t ACTION_REGISTER = 0x1000;       // "-register"
inline constexpr std::uint32_t ACTION_LANGUAGE = 0x10000;      // "-language"
inline constexpr std::uint32_t ACTION_CONF = 0x100000;         // "-conf"
inline constexpr std::uint32_t ACTION_UNREGISTER = 0x1000000;  // "-unregister"

// The conversation with the update-service agent for one product.
class CVelkUpdateService : public CVelkComClient<velk::IUSAgent6> {
 public:
  // Initialises COM and creates the agent (null when it is not installed); empty texts when the
  // factory has no code or version.
  CVelkUpdateService(const char* productCode, const char* version);
  ~CVelkUpdateService() override;

  // Writes the machine description into the agent's profile store. The plain service sends
  // nothing and returns 1; the product services override it with SendMachineInfoToProfile.
  virtual std::int32_t SendMachineInfo();

  // Registers the product; -1 (after the "not installed" message box) when there is no agent.
  std::int32_t Register();
  // The agent's status for showing the product's updates; 0 is success.
  tarn::platform::HRESULT ShowUpdates();
  void Schedule(std::int32_t value);
  // The product's status as the agent reports it; -1 when there is no agent or no answer.
  std::int32_t CheckStatus();
  void Unregister();
  void SelectLanguage();
  void GatherMachineInfo();

  // The locale the agent knows for a language identifier.
  static std::int32_t MapLanguageToLocale(std::uint16_t languageId);
  // The operating-system name for a version, or `current` when none applies.
  static tarn::platform::ComString OsNameFor(std::uint32_t major, std::uint32_t minor,
                                             const tarn::platform::ComString& current);
  // "64 bit" for the architecture codes 6, 9 and 10, "32 bit" otherwise.
  static const char* ArchitectureName(std::uint16_t code);

  static constexpr const char* kNotInstalledText = "The Update Service is not install on your machine";
  static constexpr const char* kNotInstalledCaption = "Error";

 protected:
  // What the product services send: a "UserCollection" with the four machine properties, then
  // SaveProfile; returns SaveProfile's status, or REGDB_E_CLASSNOTREG without a call when the
  // profile manager cannot be created.
  tarn::platform::HRESULT SendMachineInfoToProfile();

  tarn::platform::ComString version;
  tarn::platform::ComString productCode;
  std::int32_t productStatus;
  velk::IUSProduct6* productObject;
  std::uint16_t languageId;
  tarn::platform::ComString osName;
  tarn::platform::ComString processorArchitecture;
  tarn::platform::ComString servicePack;
  tarn::platform::ComString location;
  std::int32_t localeId;
};

// The two products the utility serves, chosen by the registry value that gave the product code
// (Run): a copy of the Tarn database product ("TARN Update Service Code") and the Brix add-in
// ("BRIX Update Service Code"). They differ from the plain service only in sending the machine
// description, which both do alike.
class CTarnUpdateService : public CVelkUpdateService {
 public:
  CTarnUpdateService(const char* productCode, const char* version)
      : CVelkUpdateService(productCode, version) {}
  ~CTarnUpdateService() override = default;
  std::int32_t SendMachineInfo() override;
};

class CBrixUpdateService : public CVelkUpdateService {
 public:
  CBrixUpdateService(const char* productCode, const char* version)
      : CVelkUpdateService(productCode, version) {}
  ~CBrixUpdateService() override = default;
  std::int32_t SendMachineInfo() override;
};

// Registry value names that name the product, and where they live (HKEY_LOCAL_MACHINE).
inline constexpr const char kTarnServiceCodeName[] = "TARN Update Service Code";
inline constexpr const char kBrixServiceCodeName[] = "BRIX Update Service Code";
inline constexpr const char kBrixCurrentVersionKey[] = "SOFTWARE\\Velk\\Velk Quillon\\CurrentVersion";
inline constexpr const char kTarnCopyKey[] =
    "SOFTWARE\\Velk\\TARN\\InstalledCopies\\$CurrentInstallationName$";
// The launcher waits this long for its copy's display command (five minutes).
inline constexpr std::int32_t kLauncherWaitMilliseconds = 300000;

// Turns the command line into actions and a product identity, and runs them.
class CUpdateServiceFactory {
 public:
  static constexpr std::size_t kProductCodeSize = 39;
  static constexpr std::size_t kVersionSize = 65;
  static constexpr std::size_t kScheduleTextSize = 65;
  static constexpr std::size_t kModulePathSize = 261;
  static constexpr std::size_t kServiceCodeNameSize = 67;

  // Parses the arguments (lowering the option arguments in place); when the product code or the
  // version is still empty, fills modulePath and identifies the product.
  CUpdateServiceFactory(int argc, char** argv);
  virtual ~CUpdateServiceFactory();
  CUpdateServiceFactory(const CUpdateServiceFactory&) = delete;
  CUpdateServiceFactory& operator=(const CUpdateServiceFactory&) = delete;

  // Performs the requested actions; true when one failed and the rest were skipped.
  bool Run();

  // The long on-disk form of `source` into `destination` (`capacity` characters with the zero);
  // always 0. A path that does not fit leaves `destination` empty.
  static int ExpandLongPath(const char* source, char* destination, std::size_t capacity);

  bool IsLauncher() const;

 protected:
  void ParseCommandLine(int argc, char** argv);
  // Identifies the product from modulePath (the product variants' unit).
  void DetectProduct();

  std::uint32_t flags = 0;
  char productCode[kProductCodeSize] = {};
  char version[kVersionSize] = {};
  std::int32_t scheduleValue = 0;
  char modulePath[kModulePathSize] = {};
  char serviceCodeName[kServiceCodeNameSize] = {};
  CVelkUpdateService* service = nullptr;
};

// The service of the product's kind, chosen by the name of the registry value that gave the
// product code ("TARN Update Service Code", "BRIX Update Service Code"; anything else, an empty
// name in particular, gives the plain service).
CVelkUpdateService* NewUpdateService(const char* serviceCodeName, const char* productCode,
                                     const char* version);

// The one line the entry point reports for a COM error nothing else caught: status, interface
// and the object's description.
std::string DescribeComError(const tarn::platform::ComError& error);
