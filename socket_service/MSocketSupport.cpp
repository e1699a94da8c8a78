#include "MSocketSupport.h"
