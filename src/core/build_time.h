#pragma once

// When the daemon was built (date's default form, UTC; from SOURCE_DATE_EPOCH when set), for the
// start-up banner. Defined in a source file that configure writes into the build folder.
extern const char kBuildTime[];
