# The shared library exports its interface and nothing else: every function
# and data symbol that include/powergpu.h declares POWERGPU_API (and no
# other plain name but the table of grid configurations), the members of
# PowerModule, PowerCycleDetector and the exception classes of
# include/powergpu.hpp, and the rotation factors of the symmetrical
# components. Internal classes, the namespace powergpu and the
# implementations behind the two classes stay hidden,
# so that callers cannot come to depend on them.
#
#   cmake -DLIBRARY=<libpowergpu.so> -DHEADER=<include/powergpu.h> -P CheckExportedSymbols.cmake

find_program(NM nm REQUIRED)
execute_process(COMMAND ${NM} -D -C --defined-only ${LIBRARY}
                OUTPUT_VARIABLE table RESULT_VARIABLE status ERROR_VARIABLE problem)
if(NOT status EQUAL 0 OR table STREQUAL "")
  message(FATAL_ERROR "nm could not read ${LIBRARY}: ${problem}")
endif()

# The plain names the header declares for export.
file(STRINGS ${HEADER} declarations REGEX "POWERGPU_API")
set(declared "")
foreach(line IN LISTS declarations)
  if(line MATCHES "^#define")
    continue()
  elseif(line MATCHES "POWERGPU_API[^(;]* \\**([A-Za-z_][A-Za-z_0-9]*) *\\(")
    list(APPEND declared ${CMAKE_MATCH_1})
  elseif(line MATCHES "POWERGPU_API[^;]* ([A-Za-z_][A-Za-z_0-9]*) *;")
    list(APPEND declared ${CMAKE_MATCH_1})
  endif()
endforeach()
list(LENGTH declared declaredCount)
if(declaredCount LESS 100)
  message(FATAL_ERROR "only ${declaredCount} declarations found in ${HEADER}; the pattern no longer reads it")
endif()
# A data symbol declared outside the public header, documented with it.
list(APPEND declared powerGridConfigs)

set(classMembers "^(PowerModule|PowerCycleDetector|GpuException|PowerInvalidCall|PowerErrorTooManyResults)::")
set(classData "^(typeinfo|typeinfo name|vtable|VTT) for (GpuException|PowerInvalidCall|PowerErrorTooManyResults)$")
set(thunks "^virtual thunk to PowerErrorTooManyResults::")
string(REPLACE "\n" ";" lines "${table}")
set(exported "")
set(unexpected "")
foreach(line IN LISTS lines)
  # "<address> <type> <demangled name>"
  if(NOT line MATCHES "^[0-9a-fA-F]+ [A-Za-z] (.+)$")
    continue()
  endif()
  set(name "${CMAKE_MATCH_1}")
  if(name MATCHES "^__odr_asan[._]")
    # AddressSanitizer's one-definition-rule markers of the exported data
    # symbols: the instrumented build's own, not part of the interface.
    continue()
  endif()
  if(name MATCHES "PowerModuleImpl|PowerCycleDetectorImpl|powergpu::")
    list(APPEND unexpected "${name}")
  elseif(name MATCHES "^[A-Za-z_][A-Za-z_0-9]*$")
    list(FIND declared "${name}" at)
    if(at EQUAL -1)
      list(APPEND unexpected "${name}")
    else()
      list(APPEND exported "${name}")
    endif()
  elseif(name MATCHES "${classMembers}" OR name MATCHES "${classData}" OR name MATCHES "${thunks}"
         OR name STREQUAL "PowerSymmetricalComponents::a")
    # The public classes and the documented table.
  else()
    list(APPEND unexpected "${name}")
  endif()
endforeach()

set(missing "")
foreach(name IN LISTS declared)
  list(FIND exported "${name}" at)
  if(at EQUAL -1)
    list(APPEND missing "${name}")
  endif()
endforeach()

if(unexpected OR missing)
  list(JOIN unexpected "\n  " unexpectedText)
  list(JOIN missing "\n  " missingText)
  message(FATAL_ERROR "exported but not part of the interface:\n  ${unexpectedText}\n"
                      "declared for export but not exported:\n  ${missingText}")
endif()
list(LENGTH exported count)
message(STATUS "${count} plain names exported, each declared in ${HEADER}")
