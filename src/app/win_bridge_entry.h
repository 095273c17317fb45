// The dispatcher of the two bridge modes ("--loader", "--worker").
#pragma once

// argv as CommandLineToArgvW gives it, program name first. Returns the exit code.
int RunBridgeMode(int argc, wchar_t** argv);
