#include "crypto/aes8.h"
