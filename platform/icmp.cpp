#include "platform/icmp.h"
