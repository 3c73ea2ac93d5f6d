// Fuzzes the parsers of the main channel, both protocol generations.
#include "parser_fuzz.h"

KTW_PARSER_FUZZ_TARGET(SPICE_CHANNEL_MAIN)
