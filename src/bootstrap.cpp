#include "bootstrap.h"
