#include "CSocket.h"
