// Product variants: which product the utility serves, told from its own location.
#include "update/updateservice.h"

void CUpdateServiceFactory::DetectProduct() {
  // Identification from the program's location (the Tarn copy's "/cfg/install", the Brix
  // add-in's "/bin", the launcher) is not built yet: nothing is detected, and the command line's
  // identity (possibly empty) is used.
}

CVelkUpdateService* NewUpdateService(const char* /*serviceCodeName*/, const char* productCode,
                                     const char* version) {
  // Until the product services exist, every name gives the plain service.
  return new CVelkUpdateService(productCode, version);
}
