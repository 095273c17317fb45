#include <windows.h>

#include "common/local_time.h"

LocalTime LocalTimeNow() noexcept {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}
