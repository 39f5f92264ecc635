#pragma once

#include <QString>

#include <functional>

namespace ks {

// The device behind COM port n (1 to 16): the path in the environment variable
// KSERVER_COM<n> when it is set and not empty, else the lookup's value for "COM<n>" (the
// settings file's Ports key, as Wine maps ports) when not empty, else /dev/ttyS<n-1>.
// On Windows the port's own name "\\.\COM<n>". An empty text for a port number below 1.
QString serialDevicePath(int portNumber,
                         const std::function<QString(const QString& comName)>& portsKeyLookup = {});

// The port number n of a Windows port name "\\.\COMn" (n >= 1); 0 when the name has another
// form.
int comPortNumber(const QString& portName);

} // namespace ks
