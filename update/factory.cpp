// The service factory: command line, product identity and the run of the requested actions.
#include <cstring>
#include <memory>

#include "platform/module.h"
#include "update/updateservice.h"

namespace {
// Copies `value` into a member of `capacity` characters, cutting what does not fit.
void CopyCut(char* member, std::size_t capacity, const char* value) {
  const std::size_t length = strnlen(value, capacity - 1);
  std::memcpy(member, value, length);
  member[length] = '\0';
}

void LowerAscii(char* text) {
  for (; *text != '\0'; ++text)
    if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
}

// A decimal integer as atoi reads it (blanks, a sign, then the leading digits; no digits give
// 0), held within 32 bits.
std::int32_t LeadingInteger(const char* text) {
  while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '\f' || *text == '\v')
    ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  std::int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > 0x80000000LL) value = 0x80000000LL;
  }
  if (negative) return static_cast<std::int32_t>(-value);
  return static_cast<std::int32_t>(value > 0x7FFFFFFF ? 0x7FFFFFFF : value);
}

// An address inside the program itself, to ask the loader for the program's file.
void ProgramAnchor() {}
}  // namespace

CUpdateServiceFactory::CUpdateServiceFactory(int argc, char** argv) {
  ParseCommandLine(argc, argv);
  if (productCode[0] != '\0' && version[0] != '\0') return;
  char path[kModulePathSize] = {};
  const tarn::platform::DWORD length = tarn::platform::GetModuleFileNameOfAddress(
      reinterpret_cast<const void*>(&ProgramAnchor), path, sizeof path);
  // A path cut to the buffer would name some other file: leave it empty, detection finds nothing.
  if (length == 0 || length >= sizeof path) path[0] = '\0';
  ExpandLongPath(path, modulePath, sizeof modulePath);
  DetectProduct();
}

CUpdateServiceFactory::~CUpdateServiceFactory() = default;

void CUpdateServiceFactory::ParseCommandLine(int argc, char** argv) {
  if (argc < 2 || argv == nullptr) return;
  for (int i = 1; i < argc; ++i) {
    char* argument = argv[i];
    if (argument == nullptr) continue;
    LowerAscii(argument);
    // The value is the next argument as it stands now, before its own turn lowers it; it is then
    // visited like any other argument. A value option given last has no value and is ignored.
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (std::strcmp(argument, "-guid") == 0) {
      if (value != nullptr) CopyCut(productCode, sizeof productCode, value);
    } else if (std::strcmp(argument, "-ver") == 0) {
      if (value != nullptr) CopyCut(version, sizeof version, value);
    } else if (std::strcmp(argument, "-ismes") == 0) {
      flags |= ACTION_ISMES;
    } else if (std::strcmp(argument, "-display") == 0) {
      flags |= ACTION_DISPLAY;
    } else if (std::strcmp(argument, "-schedule") == 0) {
      if (value != nullptr) {
        char text[kScheduleTextSize];
        CopyCut(text, sizeof text, value);
        flags |= ACTION_SCHEDULE;
        scheduleValue = LeadingInteger(text);
      }
    } else if (std::strcmp(argument, "-register") == 0) {
      flags |= ACTION_REGISTER;
    } else if (std::strcmp(argument, "-language") == 0) {
      flags |= ACTION_LANGUAGE;
    } else if (std::strcmp(argument, "-conf") == 0) {
      flags |= ACTION_CONF;
    } else if (std::strcmp(argument, "-unregister") == 0) {
      flags |= ACTION_UNREGISTER;
    }
  }
}

int CUpdateServiceFactory::ExpandLongPath(const char* source, char* destination, std::size_t capacity) {
  // Windows may hand a program its path in short (8.3) names, and detection compares path
  // components by their on-disk case, hence the expansion. Linux has no short names and reports
  // the path as the file system holds it: the long form of every component is the component
  // itself, so expansion is a bounded copy. A relative path is not expanded either way.
  if (destination == nullptr || capacity == 0) return 0;
  destination[0] = '\0';
  if (source == nullptr) return 0;
  const std::size_t length = std::strlen(source);
  if (length >= capacity) return 0;
  std::memcpy(destination, source, length + 1);
  return 0;
}

bool CUpdateServiceFactory::IsLauncher() const {
  const char* slash = std::strrchr(modulePath, '/');
  return slash != nullptr && std::strcmp(slash, "/tarnupdserv") == 0;
}

bool CUpdateServiceFactory::Run() {
  // The service is deleted whatever happens, a COM error on its way to the entry point included,
  // so the agent is released and COM uninitialised before the error is reported.
  struct DeleteService {
    CVelkUpdateService*& service;
    ~DeleteService() {
      delete service;
      service = nullptr;
    }
  } deleteService {service};
  service = NewUpdateService(serviceCodeName, productCode, version);

  if ((flags & (ACTION_DISPLAY | ACTION_REGISTER)) != 0 && service->Register() == -1) return true;
  if ((flags & ACTION_LANGUAGE) != 0) service->SelectLanguage();
  if ((flags & ACTION_SCHEDULE) != 0) service->Schedule(scheduleValue);
  if ((flags & ACTION_DISPLAY) != 0 && service->ShowUpdates() != 0) return true;
  if ((flags & ACTION_ISMES) != 0 && service->CheckStatus() <= 0) return true;
  if ((flags & ACTION_CONF) != 0) {
    service->GatherMachineInfo();
    service->SendMachineInfo();
  }
  if ((flags & ACTION_UNREGISTER) != 0) service->Unregister();
  return false;
}
