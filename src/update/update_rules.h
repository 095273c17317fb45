/*
 * What the self-update decides without a network or a window: how a URL is
 * split for WinHTTP, the download percentage, how versions compare, what a
 * manifest says and which bytes its signature covers, and what the window
 * shows after a check (the key reader is crypto/rsa_key.h). Portable (no
 * platform headers), so the host build tests and fuzzes all of it under the
 * sanitizers; win_https.cpp and win_update_check.cpp are thin Windows edges
 * over these rules.
 */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/text.h"
#include "json/json.h"

// ---- URLs and transfers ----------------------------------------------------

struct UrlParts {
    bool secure = false;
    WString host;
    WString path;  // from the first "/" after the host, query included; never empty
    std::int32_t port = 80;
};

// Accepts "https://" and "http://" (case-sensitive) followed by a non-empty
// host, an optional ":port" and an optional path. A port that reads as 0 or
// less falls back to the scheme's port; one above 65535 is kept as read (the
// caller refuses it). On false `parts` may have been partly written.
[[nodiscard]] bool SplitUrl(const WString& url, UrlParts& parts);

// The number in a Content-Length header text: leading blanks, then decimal
// digits up to the first other character. No digits give 0 (unknown length);
// values beyond 64 bits saturate.
std::uint64_t ParseContentLength(const WString& text);

// min(100, received * 100 / total) in whole percent; total must not be 0.
std::int32_t DownloadPercent(std::uint64_t received, std::uint64_t total);

// ---- Versions ----------------------------------------------------------------

// The program's version is set by the build in its VERSIONINFO resource
// alone; the running program and the update both read it from there, so the
// version it reports, the one it compares and the one a package holds cannot
// drift apart.

// The file version of a VS_VERSIONINFO resource's VS_FIXEDFILEINFO as text
// (FileVersionText); empty unless the bytes are such a resource with the
// fixed part whole and signed 0xFEEF04BD.
WString VersionInfoFileVersion(const std::uint8_t* resource, std::size_t size);

// "a.b.c.d" from the fixed part's two words, trailing zero parts dropped down
// to two: 1,0,0,0 reads "1.0", 1,2,3,0 reads "1.2.3".
WString FileVersionText(std::uint32_t versionMs, std::uint32_t versionLs);

// The version service's request: endpoint + "?product=TZ62Editorsync&version="
// + the running version.
WString UpdateRequestUrl(const WString& endpoint, const WString& runningVersion);

// Whether a build asks for updates at all: only with an endpoint configured.
bool UpdateEndpointConfigured(const WString& endpoint);
// The debug line of a build that does not ask.
WString NoUpdateEndpointLogText();

// True when version `a` is not newer than `b`. Dotted decimal numbers compare
// numerically component by component (missing components count as 0, any
// length of digits is exact); when either text holds anything but digits and
// dots both compare as plain UTF-16 text.
bool VersionNotNewer(const WString& a, const WString& b);

// ---- The manifest --------------------------------------------------------------

struct PackageFileEntry {
    WString name;
    std::string md5;  // UTF-8
    WString url;
    std::int64_t size = 0;
};

// How the running executable compares with the published
// "TZ62Editorsync.exe".
enum class SelfCheck {
    NotListed,   // no such entry, or no md5 in it
    Unreadable,  // the running executable could not be read
    Matches,
    Differs,
};

struct UpdateInfo {
    bool valid = false;
    bool updateAvailable = false;
    WString latestVersion;
    WString lastUpdateDate;
    WString changeLog;
    WString packageUrl;
    WString packageMd5;
    std::vector<PackageFileEntry> files;
    SelfCheck selfCheck = SelfCheck::NotListed;
    WString runningVersion;  // the version the check compared against
};

// The published name of the program file that the integrity check compares.
inline constexpr WChar kProgramFileName[] = WTEXT("TZ62Editorsync.exe");

// Copies the manifest's texts and its "files" entries (only when "files" is
// an object, in member order) into `info`; the flags are left alone.
void ReadManifestFields(const JsonValue& manifest, UpdateInfo& info);

// packageMd5, then "|" and the md5 of each files entry, as UTF-8 bytes.
std::string SignedManifestMessage(const WString& packageMd5, const std::vector<PackageFileEntry>& files);

// The md5 of the first entry named kProgramFileName (ASCII case ignored);
// empty when there is none.
std::string PublishedProgramMd5(const std::vector<PackageFileEntry>& files);

// Whether the program unpacked from a package may replace the running one.
// Only the package is covered by the signature (through its MD5), not
// latestVersion: so the program's own version must equal latestVersion and
// be newer than the running one, or, on the repair path (no newer version
// offered), equal to the running one. An older signed release offered under
// a raised latestVersion fails here.
[[nodiscard]] bool PackageVersionAcceptable(const WString& packageProgramVersion, const UpdateInfo& info);

// Equal under ASCII case folding (for hex digests).
bool EqualsIgnoreAsciiCase(const std::string& a, const std::string& b);

// ---- Log lines and what the window shows --------------------------------------

WString ConnectFailedLogText(const WString& endpoint);
WString BadAnswerLogText();
WString NoRunningVersionLogText();
WString SignatureRejectedLogText();
WString CheckFinishedLogText(const WString& latestVersion, bool updateAvailable);

struct UpdateNotice {
    WString text;
    bool highlight = false;
};

struct UpdateDisplay {
    bool showUpdateButton = false;  // shown, enabled, reading "更新"
    std::vector<UpdateNotice> notices;
};

// What the window shows for a check result: the new version and its change
// log; or, with no newer version than info.runningVersion, a red line when the program file differs
// from the published one of the same version (the button then offers the
// published package as the repair); or that the program is current. An
// invalid result shows nothing.
UpdateDisplay DecideUpdateDisplay(const UpdateInfo& info);

// The same for the daily check of a tool that runs for months: it speaks
// only of news. Only an offer whose version was not announced yet keeps its
// lines (and its button); anything else ("当前已是最新版本", an offer already
// made) shows nothing. `announced` is the version last announced, "" for none.
UpdateDisplay QuietUpdateDisplay(const UpdateDisplay& full, const UpdateInfo& info, const WString& announced);
