#include "run_state.h"

#define KELVANORE_DEFINE_RUN_STATE(kind, type, name, initial) type name = initial;
KELVANORE_RUN_STATE(KELVANORE_DEFINE_RUN_STATE)
#undef KELVANORE_DEFINE_RUN_STATE

const std::string ALLCHRS_PROXY = "ALL_CHROMOSOMES";
