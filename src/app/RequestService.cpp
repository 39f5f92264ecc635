// Port 6645: requests, ClientList.
#include "app/TimeNow.h"
#include "log/LogModel.h"

#include <QLabel>

namespace ks {

// The listening socket arrives with the network service work.
void TForm1::StartListening() {}

void TForm1::ClearClientList() {
    ClientList.clear();
    AddLogEntry(LogNotice, "Client List", "Connected client list cleared.");
    ClientCountPanel->setText(QStringLiteral("0"));
}

} // namespace ks
