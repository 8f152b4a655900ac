#include "bridge/http_bridge.h"
