#pragma once

#include <QString>

namespace ks {

// The system's text for an error code (GetLastError, a registry or Winsock result).
QString systemMessage(unsigned long code);

} // namespace ks
