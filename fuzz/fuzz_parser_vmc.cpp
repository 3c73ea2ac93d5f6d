// Fuzzes the parsers of the byte-stream channels (USB redirection, port and WebDAV, chosen by the option
// byte).
#include "parser_fuzz.h"

KTW_PARSER_FUZZ_TARGET(SPICE_CHANNEL_USBREDIR)
