#include "bedfile.h"
