// The logon task's name and schtasks arguments; see autostart_rules.h.
#include "app/autostart_rules.h"

#include "m2control/bridge_rules.h"

WString LogonTaskName(const WString& userName) { return WTEXT("TZ62EditorSync_") + userName; }

WString LogonTaskAction(const WString& exePath) { return QuoteArgument(exePath); }

WString LogonTaskCreateArguments(const WString& taskName, const WString& exePath, const WString& account) {
    // /ru names this user, so the task runs as the operator in the operator's
    // session (/it: only while that user is logged on, no password stored).
    return WTEXT("/create /tn ") + QuoteArgument(taskName) + WTEXT(" /tr ") +
           QuoteArgument(LogonTaskAction(exePath)) + WTEXT(" /sc onlogon /ru ") + QuoteArgument(account) +
           WTEXT(" /rl highest /it /f");
}

WString LogonTaskQueryArguments(const WString& taskName) { return WTEXT("/query /tn ") + QuoteArgument(taskName); }

WString LogonTaskDeleteArguments(const WString& taskName) {
    return WTEXT("/delete /tn ") + QuoteArgument(taskName) + WTEXT(" /f");
}
