// A program that does nothing; the build gives each copy a VERSIONINFO of its
// own version (tz_versioned_standin), for the install's version check.
int wmain() { return 0; }
