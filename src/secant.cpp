#include "secant.h"
