# Run at every build (cmake -P): the commit the build is made from and its time, written into
# the one generated source of the stamp only when they changed, so that a build with nothing
# new compiles nothing and two builds of one commit are the same.
#   -DSOURCE_DIR=... -DTEMPLATE=... -DOUTPUT=... -DFALLBACK_TIME=<configure time, epoch>
execute_process(COMMAND git -C ${SOURCE_DIR} describe --always --dirty
                OUTPUT_VARIABLE BTLAP_BUILD_ID OUTPUT_STRIP_TRAILING_WHITESPACE
                ERROR_QUIET RESULT_VARIABLE described)
if(NOT described EQUAL 0 OR BTLAP_BUILD_ID STREQUAL "")
  set(BTLAP_BUILD_ID "unknown")
endif()
# The time: SOURCE_DATE_EPOCH when given, else the commit's, else the configure's (a source
# tree without its history).
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git -C ${SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT epoch MATCHES "^[0-9]+$")
    set(epoch ${FALLBACK_TIME})
  endif()
endif()
# In the form of date's default output, UTC.
execute_process(COMMAND env LC_ALL=C date -u -d "@${epoch}"
                OUTPUT_VARIABLE BTLAP_BUILD_TIME OUTPUT_STRIP_TRAILING_WHITESPACE)
# configure_file leaves the file alone when its text is the same.
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
