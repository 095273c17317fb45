/*
 * The version check after the answer has arrived: parse the manifest,
 * verify its signature over the MD5 values, compare versions and the
 * program file, and write the outcome's log line. Portable apart from the
 * signature backend chosen at link time (crypto/crypto.h), so every manifest
 * case runs on the host under the sanitizers; win_update_check.cpp adds the
 * download, the thread and the window.
 */
#pragma once

#include <functional>
#include <string>

#include "common/log_sink.h"
#include "common/text.h"
#include "update/update_rules.h"

// The lower-case hex MD5 of the running executable, or empty text when it
// cannot be read. Called only when the manifest publishes the program file.
using ProgramMd5Reader = std::function<std::string()>;

// Judges one non-empty answer body against `publicKeyPem`, for a program of
// `runningVersion` (its VERSIONINFO file version). True when the
// signature verifies: `info` is then replaced by the complete, valid result.
// On false `info` is untouched. Either way exactly one line goes to
// `fileLog`: the data error, the signature rejection, or the check's result.
[[nodiscard]] bool EvaluateManifest(const std::string& body, const std::string& publicKeyPem,
                                    const WString& runningVersion, const ProgramMd5Reader& programMd5, const LogSink& fileLog,
                                    UpdateInfo& info) noexcept;
