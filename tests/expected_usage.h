// The usage text as the screen shows it, every byte counted; a Windows
// runtime writes each line end as CR LF. The shell and CMake checks hold the
// same text in tests/checks/expected-usage.txt.
#ifndef TARNPOST_TESTS_EXPECTED_USAGE_H
#define TARNPOST_TESTS_EXPECTED_USAGE_H

const char kExpectedUsage[] = R"(Syntax:
   tarnpost "<message>"

Arguments:
   <message>: a sequence of Brenn shell lines (commands and directives).

Examples:
   tarnpost "*** File \"c:\usr\0sampleVOS.tnr\": line 38"
)";

#endif
