#include "crypto/payload.h"
