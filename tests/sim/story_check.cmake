# Runs zendra-sim with ARGS (one string, split as a shell would) and fails
# unless it exits 0 and its program read every built-in barcode
# (BARCODES, sim/barcodes.inc), in order.
#   cmake -DSIM=zendra-sim -DARGS="--seed 1 --quick" -DBARCODES=sim/barcodes.inc -P story_check.cmake
separate_arguments(args UNIX_COMMAND "${ARGS}")
execute_process(COMMAND "${SIM}" ${args} RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "zendra-sim ${ARGS} exited with ${status}\n${output}${errors}")
endif()

file(STRINGS "${BARCODES}" entries REGEX "^BARCODE\\(")
if(NOT entries)
  message(FATAL_ERROR "no barcode in ${BARCODES}")
endif()
set(rest "${output}")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^BARCODE\\(\"([^\"]*)\"\\).*" "\\1" barcode "${entry}")
  string(FIND "${rest}" "read ${barcode} " at)
  if(at EQUAL -1)
    message(FATAL_ERROR "zendra-sim ${ARGS}: no read of ${barcode} after the barcodes before it\n${output}")
  endif()
  string(SUBSTRING "${rest}" ${at} -1 rest)
  string(LENGTH "read ${barcode} " skip)
  string(SUBSTRING "${rest}" ${skip} -1 rest)
endforeach()
