# Checks that every source file includes only what its layer may include.
#   cmake -DROOT=<checkout> -DQT_INCLUDE=<Qt include dir> -P check_layers.cmake
# A folder of src/ (and sim/) is its layer. The layered folders, lowest first:
#   io -> protocol -> formats -> link -> core
# and each may include its own folder and those below it. sim stands on
# protocol and io. Every other folder of src/ is a face (rt, the panels,
# app, tecctl, ...) and may include anything below it and other faces,
# except tecctl and server, which never include rt or app (nor Widgets). Below the faces nothing
# includes Qt; io's Qt serial device alone includes Qt Core and SerialPort.
# Nothing outside the faces includes Qt Widgets or Gui. The tests of a
# layered folder (tests/<layer>) follow their layer's rule, and may also
# include the simulator and tests/support.
# Prints each include that breaks these rules and fails when there is one.

if(NOT ROOT)
  message(FATAL_ERROR "ROOT (the checkout to check) is not set")
endif()

set(layered io protocol formats link core)
set(allowed_io io)
set(allowed_protocol io protocol)
set(allowed_formats io protocol formats)
set(allowed_link io protocol link)
set(allowed_core io protocol formats link core)
set(allowed_sim io protocol sim)
# The Qt serial device: the only files below the faces on Qt.
set(qt_files_io serial.cpp serial_qt.h port_map.h)

# Every folder an include may name: the folders of src/, and sim.
file(GLOB entries LIST_DIRECTORIES true RELATIVE "${ROOT}/src" "${ROOT}/src/*")
set(folders sim)
foreach(e ${entries})
  if(IS_DIRECTORY "${ROOT}/src/${e}")
    list(APPEND folders ${e})
  endif()
endforeach()

# True when <Name> is a header of Qt Widgets or Qt Gui.
function(is_widgets_header name out)
  set(${out} FALSE PARENT_SCOPE)
  if(name MATCHES "^(QtWidgets|QtGui|QtUiTools|QtPrintSupport)/" OR name MATCHES "^qcustomplot")
    set(${out} TRUE PARENT_SCOPE)
  elseif(QT_INCLUDE AND (EXISTS "${QT_INCLUDE}/QtWidgets/${name}" OR EXISTS "${QT_INCLUDE}/QtGui/${name}"))
    set(${out} TRUE PARENT_SCOPE)
  endif()
endfunction()

set(violations 0)
# check_folder(dir layer): the sources under dir follow layer's rule.
function(check_folder dir layer)
  if(NOT IS_DIRECTORY "${dir}")
    return()
  endif()
  file(GLOB_RECURSE sources "${dir}/*.h" "${dir}/*.hpp" "${dir}/*.cpp")
  set(count ${violations})
  list(FIND layered ${layer} rank)
  foreach(src ${sources})
    file(RELATIVE_PATH shown "${ROOT}" "${src}")
    get_filename_component(base "${src}" NAME)
    file(STRINGS "${src}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    foreach(line ${lines})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]*)[>\"].*" "\\1" inc "${line}")
      set(bad "")
      if(line MATCHES "include[ \t]*\"([A-Za-z0-9_]+)/")
        set(top "${CMAKE_MATCH_1}")
        list(FIND folders ${top} known)
        if(known GREATER -1 AND DEFINED allowed_${layer})
          list(FIND allowed_${layer} ${top} ok)
          if(ok EQUAL -1)
            set(bad "${top}/ lies above ${layer}")
          endif()
        elseif(known GREATER -1 AND (layer STREQUAL "tecctl" OR layer STREQUAL "server") AND (top STREQUAL "rt" OR top STREQUAL "app"))
          set(bad "${layer} does not include ${top}/")
        endif()
      elseif(line MATCHES "include[ \t]*<(Q[A-Za-z0-9_/]*|qcustomplot[a-z.]*)>")
        is_widgets_header("${inc}" widgets)
        if(DEFINED allowed_${layer})
          list(FIND qt_files_${layer} ${base} qt_ok)
          if(qt_ok EQUAL -1 OR widgets)
            set(bad "${layer} does not include Qt")
          endif()
        elseif(widgets AND (layer STREQUAL "tecctl" OR layer STREQUAL "server"))
          set(bad "${layer} does not include Qt Widgets or Gui")
        endif()
      endif()
      if(bad)
        message("${shown}: #include ${inc}: ${bad}")
        math(EXPR count "${count} + 1")
      endif()
    endforeach()
  endforeach()
  set(violations ${count} PARENT_SCOPE)
endfunction()

foreach(f ${folders})
  if(f STREQUAL "sim")
    check_folder("${ROOT}/sim" sim)
  else()
    check_folder("${ROOT}/src/${f}" ${f})
  endif()
endforeach()
# Tests may drive their layer against the simulated controller.
foreach(l ${layered} sim)
  list(APPEND allowed_${l} sim)
  check_folder("${ROOT}/tests/${l}" ${l})
endforeach()

if(violations GREATER 0)
  message(FATAL_ERROR "${violations} include(s) break the layers")
endif()
message("layers: every include keeps to its layer")
