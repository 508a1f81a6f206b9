# Refuses, at configure time, a firmware image that would build a tool which wipes devices: a
# path that does not exist, a directory, or an empty file (the tool would pad it to one block of
# zeros and write it over the start of the flash, the vector table, then report success).
# -DQUARV_FIRMWARE_ALLOW_EMPTY=ON lifts only the empty-file refusal, for tests of that image.
# Included where QUARV_FIRMWARE is set, or run alone:
#   cmake -DQUARV_FIRMWARE=FILE [-DQUARV_FIRMWARE_ALLOW_EMPTY=ON] -P cmake/firmware_check.cmake
function(quarv_check_firmware file)
  if(file STREQUAL "")
    message(FATAL_ERROR "QUARV_FIRMWARE names no file: give the firmware image to embed")
  elseif(NOT EXISTS "${file}")
    message(FATAL_ERROR "QUARV_FIRMWARE: ${file} does not exist")
  elseif(IS_DIRECTORY "${file}")
    message(FATAL_ERROR "QUARV_FIRMWARE: ${file} is a directory, not a firmware image")
  endif()
  file(SIZE "${file}" size)
  if(size EQUAL 0 AND NOT QUARV_FIRMWARE_ALLOW_EMPTY)
    message(FATAL_ERROR
            "QUARV_FIRMWARE: ${file} is empty; the tool would write one block of zeros over the "
            "start of the flash. -DQUARV_FIRMWARE_ALLOW_EMPTY=ON builds it all the same.")
  endif()
endfunction()

if(NOT CMAKE_SCRIPT_MODE_FILE)
  option(QUARV_FIRMWARE_ALLOW_EMPTY "Embed an empty firmware image (one block of zeros)" OFF)
endif()
quarv_check_firmware("${QUARV_FIRMWARE}")
