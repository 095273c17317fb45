/*
 * Autostart that survives a reboot for an elevated tool. Windows does not
 * elevate what the Run key starts at logon: a program marked to run as
 * administrator is skipped, an unmarked one starts without the rights the
 * bridge and a folder in Program Files need. So an elevated tool registers a
 * logon task of its own user at the highest run level instead, and an
 * unelevated one keeps the Run value.
 *
 * Here are the task's name and the schtasks.exe argument lists; starting
 * schtasks and reading the answer is win_settings.cpp's.
 */
#pragma once

#include "common/text.h"

// One task per Windows account: "TZ62EditorSync_" + the user name.
WString LogonTaskName(const WString& userName);

// The action: the quoted executable alone (the silent start needs no argument).
WString LogonTaskAction(const WString& exePath);
// schtasks refuses a longer "/tr" value.
inline constexpr std::size_t kMaxLogonTaskActionChars = 261;

// "/create /tn NAME /tr ACTION /sc onlogon /ru ACCOUNT /rl highest /it /f",
// each text quoted by the command-line rules schtasks reads with.
WString LogonTaskCreateArguments(const WString& taskName, const WString& exePath, const WString& account);
WString LogonTaskQueryArguments(const WString& taskName);
WString LogonTaskDeleteArguments(const WString& taskName);
