// A local date and time to the millisecond, as log stamps and backup copy
// names carry it. Portable, so the formats are tested on the host; Windows
// fills it from GetLocalTime.
#pragma once

struct LocalTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

#if defined(_WIN32)
// The local time now.
LocalTime LocalTimeNow() noexcept;
#endif
