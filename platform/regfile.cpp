#include "platform/regfile.h"
