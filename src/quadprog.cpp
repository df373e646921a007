#include "quadprog.h"
