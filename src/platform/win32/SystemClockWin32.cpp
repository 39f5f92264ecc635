#include "platform/SystemClockCalls.h"

#include "platform/win32/SystemMessage.h"
#include "platform/win32/TimeAdjustment.h"
#include "protocol/TickAdjust.h"

#include <QCoreApplication>
#include <QString>
#include <QTimer>

#include <windows.h>

namespace ks {

namespace {

// 100-nanosecond ticks from 1601-01-01 to 1970-01-01.
constexpr qint64 EpochTicks = 116444736000000000LL;

qint64 msFromFileTime(const FILETIME& ft) {
    const qint64 ticks = qint64((quint64(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    return (ticks - EpochTicks) / 10000;
}

FILETIME fileTimeFromMs(qint64 ms) {
    const quint64 ticks = quint64(ms * 10000 + EpochTicks);
    return FILETIME{DWORD(ticks & 0xFFFFFFFFu), DWORD(ticks >> 32)};
}

SYSTEMTIME systemTimeFromMs(qint64 ms) {
    const FILETIME ft = fileTimeFromMs(ms);
    SYSTEMTIME st{};
    FileTimeToSystemTime(&ft, &st);
    return st;
}

qint64 msFromSystemTime(const SYSTEMTIME& st) {
    FILETIME ft{};
    SystemTimeToFileTime(&st, &ft);
    return msFromFileTime(ft);
}

// Enables the system-time privilege for the lifetime of the object, when the account holds
// it, and puts back the state it had before.
class TimePrivilege {
public:
    TimePrivilege() {
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token_)) {
            token_ = nullptr;
            return;
        }
        TOKEN_PRIVILEGES wanted{};
        wanted.PrivilegeCount = 1;
        wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (!LookupPrivilegeValueA(nullptr, "SeSystemtimePrivilege", &wanted.Privileges[0].Luid)) return;
        DWORD size = sizeof previous_;
        // Succeeds also when the privilege is not held (ERROR_NOT_ALL_ASSIGNED); the clock
        // call then fails and says so.
        adjusted_ = AdjustTokenPrivileges(token_, FALSE, &wanted, sizeof previous_, &previous_, &size) &&
                    GetLastError() == ERROR_SUCCESS;
    }
    ~TimePrivilege() {
        if (adjusted_) AdjustTokenPrivileges(token_, FALSE, &previous_, 0, nullptr, nullptr);
        if (token_) CloseHandle(token_);
    }
    TimePrivilege(const TimePrivilege&) = delete;
    TimePrivilege& operator=(const TimePrivilege&) = delete;

private:
    HANDLE token_ = nullptr;
    TOKEN_PRIVILEGES previous_{};
    bool adjusted_ = false;
};

} // namespace

qint64 readSystemClockMs() {
    FILETIME ft{};
    GetSystemTimePreciseAsFileTime(&ft);
    return msFromFileTime(ft);
}

// Sleep() rounds up to the system's tick, up to 15.6 ms: the caller watches the clock instead.
void sleepNearSystemClockNs(qint64, qint64) {}

qint64 readSystemClockNs() {
    FILETIME ft{};
    GetSystemTimePreciseAsFileTime(&ft);
    const qint64 ticks = qint64((quint64(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    return (ticks - EpochTicks) * 100;
}

namespace {
// The system's message, and for a refusal the way to grant the right.
bool clockCallFailed(DWORD err, QString* error, QByteArray* howToGrant) {
    *error = systemMessage(err);
    if (err == ERROR_PRIVILEGE_NOT_HELD || err == ERROR_ACCESS_DENIED)
        *howToGrant = "Korvat Server may not set the clock. Grant it the right with: " + clockGrantText();
    return false;
}

// The clock's own increment per tick goes back once an adjustment has run its course.
QTimer* slewEnd = nullptr;
// The frequency correction in force: the increment a tick adds without a slew.
double frequencyPpm = 0;

// The precise calls (Windows 10 and later) are looked up at run time, the older headers lack
// them; before Windows 10 the 32-bit calls do the same in coarser units.
using GetPrecise = BOOL(WINAPI*)(PDWORD64, PDWORD64, PBOOL);
using SetPrecise = BOOL(WINAPI*)(DWORD64, BOOL);
template <typename F> F kernelCall(const char* name) {
    const HMODULE module = GetModuleHandleA("kernelbase.dll");
    return module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

} // namespace

bool readTimeAdjustment(TimeAdjustment* out) {
    BOOL disabled = TRUE;
    if (const auto get = kernelCall<GetPrecise>("GetSystemTimeAdjustmentPrecise")) {
        DWORD64 adjustment = 0, increment = 0;
        if (!get(&adjustment, &increment, &disabled)) return false;
        *out = {adjustment, increment, disabled != FALSE, true};
        return true;
    }
    DWORD adjustment = 0, increment = 0;
    if (!GetSystemTimeAdjustment(&adjustment, &increment, &disabled)) return false;
    *out = {adjustment, increment, disabled != FALSE, false};
    return true;
}

namespace {
bool setTimeAdjustment(DWORD64 adjustment, BOOL disabled, DWORD* err) {
    TimePrivilege privilege;
    const auto set = kernelCall<SetPrecise>("SetSystemTimeAdjustmentPrecise");
    const BOOL ok = set ? set(adjustment, disabled) : SetSystemTimeAdjustment(DWORD(adjustment), disabled);
    *err = GetLastError();
    return ok;
}

// Back to the frequency correction alone once a slew has run; none at all: the system's own.
bool restoreFrequency(DWORD* err = nullptr) {
    TimeAdjustment now;
    DWORD ignored = 0;
    if (!readTimeAdjustment(&now)) {
        if (err) *err = GetLastError();
        return false;
    }
    if (frequencyPpm == 0) return setTimeAdjustment(0, TRUE, err ? err : &ignored);
    return setTimeAdjustment(correctedTickIncrement(now.increment, frequencyPpm), FALSE,
                             err ? err : &ignored);
}
} // namespace

bool setSystemClockFrequency(double ppm, QString* error, QByteArray* howToGrant) {
    frequencyPpm = ppm;
    // A slew in progress keeps its own rate; its end brings the new correction in.
    if (slewEnd && slewEnd->isActive()) return true;
    DWORD err = 0;
    return restoreFrequency(&err) || clockCallFailed(err, error, howToGrant);
}

// The time adjustment tells nothing of whether the time service keeps the clock right.
std::optional<SystemClockState> readSystemClockState() { return std::nullopt; }

bool setSystemClock(qint64 utcMs, ClockSetKind kind, QString* error, QByteArray* howToGrant) {
    const SYSTEMTIME utc = systemTimeFromMs(utcMs);
    BOOL ok;
    DWORD err;
    {
        TimePrivilege privilege;
        if (kind == ClockSetKind::Utc) {
            ok = SetSystemTime(&utc);
        } else {
            SYSTEMTIME local{};
            ok = SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) && SetLocalTime(&local);
        }
        err = GetLastError();
    }
    return ok || clockCallFailed(err, error, howToGrant);
}

bool slewSystemClock(double offsetMs, QString* error, QByteArray* howToGrant) {
    // The clock gains (or loses) 500 ppm of each tick's increment for as long as the offset
    // takes at that rate, then runs at its own increment again; a new slew replaces the last.
    TimeAdjustment now;
    if (!readTimeAdjustment(&now)) return clockCallFailed(GetLastError(), error, howToGrant);
    if (!slewEnd) {
        slewEnd = new QTimer(QCoreApplication::instance());
        slewEnd->setSingleShot(true);
        slewEnd->setTimerType(Qt::PreciseTimer);
        QObject::connect(slewEnd, &QTimer::timeout, [] { restoreFrequency(); });
    }
    slewEnd->stop();
    const TickSlew slew = tickSlew(now.increment, frequencyPpm, offsetMs, 3'600'000);
    DWORD err = 0;
    if (slew.runMs == 0) return restoreFrequency(&err) || clockCallFailed(err, error, howToGrant);
    if (!setTimeAdjustment(slew.increment, FALSE, &err)) return clockCallFailed(err, error, howToGrant);
    slewEnd->start(int(slew.runMs));
    return true;
}

bool holdsClockRight() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    LUID wanted{};
    bool held = false;
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    if (size > 0 && LookupPrivilegeValueA(nullptr, "SeSystemtimePrivilege", &wanted)) {
        QByteArray buffer(qsizetype(size), '\0');
        auto* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(buffer.data());
        if (GetTokenInformation(token, TokenPrivileges, privileges, size, &size)) {
            // Held (enabled or not): the setting call enables it for itself.
            for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
                const LUID& luid = privileges->Privileges[i].Luid;
                if (luid.LowPart == wanted.LowPart && luid.HighPart == wanted.HighPart) held = true;
            }
        }
    }
    CloseHandle(token);
    return held;
}

QByteArray clockGrantText() {
    return "\"Change the system time\" (SeSystemtimePrivilege) in the local security policy, or "
           "run it as an administrator";
}

// The zone and its daylight-saving rules are the system's, read again by every call.
CivilTime toLocal(qint64 utcMs) {
    const qint64 wholeMs = floorSeconds(utcMs) * 1000;
    const SYSTEMTIME utc = systemTimeFromMs(wholeMs);
    SYSTEMTIME local{};
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) local = utc;
    CivilTime c;
    c.year = local.wYear;
    c.month = local.wMonth;
    c.day = local.wDay;
    c.hour = local.wHour;
    c.minute = local.wMinute;
    c.second = local.wSecond;
    c.msec = int(utcMs - wholeMs);
    return c;
}

qint64 fromLocal(const CivilTime& local) {
    SYSTEMTIME st{};
    st.wYear = WORD(local.year);
    st.wMonth = WORD(local.month);
    st.wDay = WORD(local.day);
    st.wHour = WORD(local.hour);
    st.wMinute = WORD(local.minute);
    st.wSecond = WORD(local.second);
    SYSTEMTIME utc{};
    if (!TzSpecificLocalTimeToSystemTime(nullptr, &st, &utc)) utc = st;
    return msFromSystemTime(utc) + local.msec;
}

int utcOffsetSeconds(qint64 utcMs) {
    const qint64 wholeMs = floorSeconds(utcMs) * 1000;
    return int((msFromCivil(toLocal(wholeMs)) - wholeMs) / 1000);
}

void refreshTimeZone() {} // the calls above ask the system each time

} // namespace ks
