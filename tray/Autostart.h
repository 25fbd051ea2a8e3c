// The user's Run entry that starts the tray at logon.
#pragma once

// Without `toggle`: whether the entry is on. With `toggle`: removes a present entry or
// writes an absent one, and answers the state asked for.
bool UpdateAutostart(bool toggle);
