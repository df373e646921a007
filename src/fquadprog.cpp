#include "fquadprog.h"
