# Runs cmake/firmware_check.cmake on each kind of image: the bad ones end the script with a
# message that names the file; a good one, or an empty one when allowed, passes ("-").
# cmake -DCHECK=cmake/firmware_check.cmake -DWORK=DIR -P firmware_check_test.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/folder.bin)
file(WRITE ${WORK}/empty.bin "")
file(WRITE ${WORK}/good.bin "x")
foreach(case "missing.bin;OFF;does not exist" "folder.bin;OFF;is a directory"
             "empty.bin;OFF;is empty" "missing.bin;ON;does not exist" "folder.bin;ON;is a directory"
             "empty.bin;ON;-" "good.bin;OFF;-")
  list(GET case 0 name)
  list(GET case 1 allow)
  list(GET case 2 expected)
  execute_process(COMMAND ${CMAKE_COMMAND} -DQUARV_FIRMWARE=${WORK}/${name}
                          -DQUARV_FIRMWARE_ALLOW_EMPTY=${allow} -P ${CHECK}
                  RESULT_VARIABLE result ERROR_VARIABLE output)
  string(REGEX REPLACE "[ \n]+" " " output "${output}")
  if(expected STREQUAL "-" AND result EQUAL 0)
    continue()
  elseif(NOT result EQUAL 0 AND output MATCHES "${WORK}/${name} ${expected}")
    continue()
  endif()
  message(SEND_ERROR "${name} (allow empty ${allow}): exit ${result}, ${output}")
endforeach()
