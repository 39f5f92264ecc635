#include "platform/ClockRightGrant.h"

#include "platform/win32/SystemMessage.h"

#include <windows.h>

#include <ntsecapi.h>

namespace ks {

bool changeClockRightOfUsers(bool grant, QString* error) {
    BYTE sidBuffer[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sidBuffer;
    if (!CreateWellKnownSid(WinBuiltinUsersSid, nullptr, sidBuffer, &sidSize)) {
        *error = systemMessage(GetLastError());
        return false;
    }
    LSA_OBJECT_ATTRIBUTES attributes{};
    LSA_HANDLE policy = nullptr;
    NTSTATUS status =
        LsaOpenPolicy(nullptr, &attributes, POLICY_LOOKUP_NAMES | POLICY_CREATE_ACCOUNT, &policy);
    if (status == 0) {
        wchar_t name[] = L"SeSystemtimePrivilege";
        LSA_UNICODE_STRING right{USHORT(sizeof name - sizeof(wchar_t)), USHORT(sizeof name), name};
        status = grant ? LsaAddAccountRights(policy, sidBuffer, &right, 1)
                       : LsaRemoveAccountRights(policy, sidBuffer, FALSE, &right, 1);
        LsaClose(policy);
    }
    if (status == 0) return true;
    *error = systemMessage(LsaNtStatusToWinError(status));
    return false;
}

} // namespace ks
