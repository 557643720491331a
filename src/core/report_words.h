// The words of the update report (/tmp/update.log) that its readers find their way by: the
// daemon writes them from here, and aipeer (and what follows the report through it) reads
// them back from here, so that neither side can change them alone.
//
// A step's line: its label in kStepLabelColumns columns, " started ... ", whatever the step
// adds (a percentage overwritten in place, error texts, the version table), its result text.
// "*UPDATE_FINISHED* ... OK" (or "NOK") ends an update.
#pragma once

#include <cstddef>
#include <string_view>

inline constexpr std::size_t kStepLabelColumns = 22;
inline constexpr const char* kStepStarted = " started ... ";
// The label's conversion takes kStepLabelColumns, padded and cut.
inline constexpr const char* kStepLineFormat = "%-22.22s started ... ";
static_assert(std::string_view(kStepLineFormat).ends_with(kStepStarted),
              "the step's line: its label, then the started word");

// Progress: a number of at most kPercentColumns characters before the word: "%3d" for the
// PS-Key and image steps, the DFU program's status (its first four characters) for the firmware
// step.
inline constexpr const char* kPercentWord = " percent ";
inline constexpr std::size_t kPercentColumns = 4;
inline constexpr const char* kPercentFormat = "%3d percent ";
inline constexpr const char* kStatusPercentFormat = "%.*s percent ";
static_assert(std::string_view(kPercentFormat).ends_with(kPercentWord) &&
                  std::string_view(kStatusPercentFormat).ends_with(kPercentWord),
              "both percentages end in the percent word");

// The texts that end a step's line.
inline constexpr const char* kStepOk = "OK\n";
inline constexpr const char* kStepNok = " NOK\n";
inline constexpr const char* kNothingToDo = "nothing to do ... ";  // then kStepOk
inline constexpr const char* kNothingToDoOk = "nothing to do ... OK\n";
inline constexpr const char* kNothingDone = "Nothing Done\n";
// A failed firmware load: it ends the update without the finishing line.
inline constexpr const char* kFirmwareAborted = "NOK\n nothing done... try again\n";
static_assert(std::string_view(kNothingToDoOk).starts_with(kNothingToDo) &&
                  std::string_view(kNothingToDoOk).ends_with(kStepOk) &&
                  std::string_view(kNothingToDoOk).size() ==
                      std::string_view(kNothingToDo).size() + std::string_view(kStepOk).size(),
              "a step with nothing to do ends OK");

// The finishing line: the word, the separator, the result ("OK" or "NOK"), a line feed.
inline constexpr const char* kUpdateFinished = "*UPDATE_FINISHED*";
inline constexpr const char* kFinishedSeparator = " ... ";
inline constexpr const char* kFinishedLineFormat = "*UPDATE_FINISHED* ... %s\n";
inline constexpr const char* kResultOk = "OK";
inline constexpr const char* kResultNok = "NOK";
static_assert(std::string_view(kFinishedLineFormat).starts_with(kUpdateFinished) &&
                  std::string_view(kFinishedLineFormat)
                      .substr(std::string_view(kUpdateFinished).size())
                      .starts_with(kFinishedSeparator),
              "the finishing line: the word, then the separator before the result");
