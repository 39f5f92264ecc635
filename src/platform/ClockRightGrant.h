#pragma once

#include <QString>

namespace ks {

// Windows: gives the local group Users the right "Change the system time"
// (SeSystemtimePrivilege) in the machine's security policy, or takes it back. Every user
// then holds the privilege in the token of a program started at logon, without a prompt;
// the program enables it only around the setting call. Needs an elevated administrator (the
// installer runs it so). On failure returns false with the system's message in *error.
bool changeClockRightOfUsers(bool grant, QString* error);

} // namespace ks
