#pragma once

// When the build's commit was made (date's default form, UTC; from SOURCE_DATE_EPOCH when
// set), for the start-up banner, and which commit it is (git describe; "-dirty" with changes
// beside it), for the tools' --version. Defined in a source file that each build writes into
// the build folder when they change.
extern const char kBuildTime[];
extern const char kBuildId[];
