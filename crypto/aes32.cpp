#include "crypto/aes32.h"
