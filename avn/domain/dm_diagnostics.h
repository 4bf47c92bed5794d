// Whether the Domain Manager side (the connection's failure lines, the TLS
// client's lines) writes its diagnostics to the standard streams. On by
// default, as the utility wants them; a command-line client that says the
// same in its own words turns them off unless asked to be verbose.
#pragma once

void dm_diagnostics_set_enabled(bool enabled);
bool dm_diagnostics_enabled();
