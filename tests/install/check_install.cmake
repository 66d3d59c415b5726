# Installs the build tree into a scratch DESTDIR and checks what a target
# gets: exactly the expected files, the libraries' SONAME and RUNPATH, a C
# program built from the installed headers with pkg-config flags that runs
# against the installed virtual-camera launcher, and a CMake project that
# finds the installed package.
#
# Parameters (-D): BUILD_DIR WORK_DIR SOURCE_DIR VERSION LIBDIR BINDIR
# INCLUDEDIR C_COMPILER C_FLAGS READELF PKG_CONFIG PYTHON_FILES
# PYTHON PYTHON_SITE_DIR GENERATOR
# TOOLCHAIN_FILE EMULATOR (the last three may be empty; EMULATOR is a
# '|'-separated command).
cmake_minimum_required(VERSION 3.25)

function(run)
  cmake_parse_arguments(R "" "OUTPUT;WHAT" "COMMAND" ${ARGN})
  execute_process(COMMAND ${R_COMMAND} RESULT_VARIABLE rc
    OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${R_WHAT} failed (${rc}):\n${R_COMMAND}\n${out}\n${err}")
  endif()
  if(R_OUTPUT)
    set(${R_OUTPUT} "${out}" PARENT_SCOPE)
  endif()
endfunction()

string(REPLACE "|" ";" emulator "${EMULATOR}")
set(prefix /opt/orvex)
set(root ${WORK_DIR}/root)
set(installed ${root}${prefix})
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

set(ENV{DESTDIR} ${root})
run(WHAT "install" COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
unset(ENV{DESTDIR})

# --- the layout: nothing missing, nothing extra (no test framework, no
# test programs) ---
set(expected
  ${BINDIR}/orvex-probe
  ${BINDIR}/orvex-vcam
  ${INCLUDEDIR}/orvex/OVOptDev.h
  ${INCLUDEDIR}/orvex/OrvexTac.h
  ${INCLUDEDIR}/orvex/ROMData.h
  ${INCLUDEDIR}/orvex/SFData.h
  ${INCLUDEDIR}/orvex/util.h
  ${LIBDIR}/cmake/Orvex/OrvexConfig.cmake
  ${LIBDIR}/cmake/Orvex/OrvexConfigVersion.cmake
  ${LIBDIR}/cmake/Orvex/OrvexTargets.cmake
  ${LIBDIR}/libOrvexBase.so
  ${LIBDIR}/libOrvexBase.so.1
  ${LIBDIR}/orvex/libvcam.so
  ${LIBDIR}/pkgconfig/orvex-base.pc)
list(APPEND expected
  ${BINDIR}/orvex-readback
  ${INCLUDEDIR}/orvex/OrvexConfig.h
  ${LIBDIR}/libOrvexConfig.so
  ${LIBDIR}/libOrvexConfig.so.1
  ${LIBDIR}/pkgconfig/orvex-config.pc)
list(APPEND expected
  ${INCLUDEDIR}/orvex/OrvexFactory.h
  ${LIBDIR}/libOrvexFactory.so
  ${LIBDIR}/libOrvexFactory.so.1
  ${LIBDIR}/pkgconfig/orvex-factory.pc)
list(APPEND expected ${BINDIR}/orvexctl lib/udev/rules.d/60-orvex.rules share/man/man1/orvexctl.1
     share/man/man1/orvex-vcam.1
     share/bash-completion/completions/orvexctl share/orvex/orvex-calibration.schema.json)
# The Python package, in the prefix's site folder.
list(APPEND expected ${PYTHON_FILES})
file(GLOB_RECURSE found LIST_DIRECTORIES false RELATIVE ${installed} ${installed}/*)
file(GLOB_RECURSE outside LIST_DIRECTORIES false RELATIVE ${root} ${root}/*)
foreach(f ${outside})
  if(NOT f MATCHES "^opt/orvex/")
    message(SEND_ERROR "installed outside the prefix: /${f}")
  endif()
endforeach()
# The per-configuration part of the exported targets is named after the
# build type (OrvexTargets-debug.cmake, ...).
list(FILTER found EXCLUDE REGEX "^${LIBDIR}/cmake/Orvex/OrvexTargets-[a-z]+\\.cmake$")
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  set(missing ${expected})
  list(REMOVE_ITEM missing ${found})
  set(extra ${found})
  list(REMOVE_ITEM extra ${expected})
  message(FATAL_ERROR "installed layout differs\n missing: ${missing}\n extra: ${extra}")
endif()
# The files named by the SONAME are the libraries themselves (a target
# takes those two files as they are); the unversioned names are the links
# the linker reads.
set(libs libOrvexBase)
list(APPEND libs libOrvexConfig libOrvexFactory)
foreach(lib ${libs})
  if(IS_SYMLINK ${installed}/${LIBDIR}/${lib}.so.1)
    message(SEND_ERROR "${LIBDIR}/${lib}.so.1 is a link, not the library")
  endif()
  if(IS_SYMLINK ${installed}/${LIBDIR}/${lib}.so)
    file(READ_SYMLINK ${installed}/${LIBDIR}/${lib}.so target)
  else()
    set(target "(a plain file)")
  endif()
  if(NOT target STREQUAL "${lib}.so.1")
    message(SEND_ERROR "${LIBDIR}/${lib}.so does not link to ${lib}.so.1: ${target}")
  endif()
endforeach()

# --- dynamic section: SONAME, and libOrvexConfig finds libOrvexBase in its
# own directory ---
function(dynamic lib out)
  run(WHAT "readelf" OUTPUT d COMMAND ${READELF} -d ${installed}/${LIBDIR}/${lib})
  set(${out} "${d}" PARENT_SCOPE)
endfunction()
dynamic(libOrvexBase.so.1 d)
if(NOT d MATCHES "Library soname: \\[libOrvexBase\\.so\\.1\\]")
  message(SEND_ERROR "libOrvexBase: SONAME is not libOrvexBase.so.1:\n${d}")
endif()
dynamic(libOrvexConfig.so.1 d)
if(NOT d MATCHES "Library soname: \\[libOrvexConfig\\.so\\.1\\]")
  message(SEND_ERROR "libOrvexConfig: SONAME is not libOrvexConfig.so.1:\n${d}")
endif()
if(NOT d MATCHES "Shared library: \\[libOrvexBase\\.so\\.1\\]")
  message(SEND_ERROR "libOrvexConfig does not need libOrvexBase.so.1:\n${d}")
endif()
if(NOT d MATCHES "\\(RUNPATH\\)[^\n]*\\[\\$ORIGIN\\]")
  message(SEND_ERROR "libOrvexConfig: RUNPATH is not $ORIGIN:\n${d}")
endif()

# --- a C program built with the installed pkg-config flags alone, run under
# the installed launcher, which must find the installed orvex/libvcam.so by itself ---
set(ENV{PKG_CONFIG_LIBDIR} ${installed}/${LIBDIR}/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})
unset(ENV{PKG_CONFIG_SYSROOT_DIR})
unset(ENV{ORVEX_VCAM_LIB})
unset(ENV{LD_PRELOAD})
separate_arguments(cflags UNIX_COMMAND "${C_FLAGS}")
set(rpath -Wl,-rpath,${installed}/${LIBDIR})

function(build_with_pkg_config package source exe)
  set(search ${rpath})
  if(ARGN)
    set(search ${ARGN})
  endif()
  run(WHAT "pkg-config ${package}" OUTPUT flags
    COMMAND ${PKG_CONFIG} --cflags --libs ${package})
  if(NOT flags MATCHES "/orvex")
    message(SEND_ERROR "pkg-config ${package}: no include directory: ${flags}")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  run(WHAT "compiling ${source} with pkg-config ${package}"
    COMMAND ${C_COMPILER} ${cflags} -Wall -Werror ${SOURCE_DIR}/${source}
      ${flags} ${search} -o ${WORK_DIR}/${exe})
endfunction()

if(PKG_CONFIG)
  run(WHAT "pkg-config --modversion" OUTPUT v
    COMMAND ${PKG_CONFIG} --modversion orvex-base)
  string(STRIP "${v}" v)
  if(NOT v STREQUAL VERSION)
    message(SEND_ERROR "orvex-base.pc: version ${v}, expected ${VERSION}")
  endif()
  build_with_pkg_config(orvex-base probe.c probe)
  build_with_pkg_config(orvex-config config_link.c config_link)
  # A C program on the safe-operations header alone, against the camera.
  build_with_pkg_config(orvex-factory factory_refusal.c factory_refusal)
  run(WHAT "a C program on libOrvexFactory under the launcher" OUTPUT out
    COMMAND ${emulator} ${installed}/${BINDIR}/orvex-vcam -- ${emulator} ${WORK_DIR}/factory_refusal)
  if(NOT out MATCHES "^7 the sectors 0x30000-0x30FFF include the unit's calibration records")
    message(SEND_ERROR "factory_refusal printed '${out}'")
  endif()
  # What a target takes by hand: the two SONAME files copied into one
  # folder, no links. The program finds libOrvexConfig there; the library
  # finds libOrvexBase beside itself.
  set(copied ${WORK_DIR}/copied)
  file(MAKE_DIRECTORY ${copied})
  file(COPY ${installed}/${LIBDIR}/libOrvexBase.so.1 ${installed}/${LIBDIR}/libOrvexConfig.so.1
    DESTINATION ${copied})
  build_with_pkg_config(orvex-config config_link.c config_copied -Wl,-rpath,${copied})
  run(WHAT "a program on the two copied library files" COMMAND ${emulator} ${WORK_DIR}/config_copied)

  # Without binfmt the emulated launcher cannot exec a target program
  # itself, so it is given the emulator as the command to run.
  # The sanitizer runtime is loaded after the preloaded virtual camera.
  set(ENV{ASAN_OPTIONS} "verify_asan_link_order=0:detect_leaks=1")
  run(WHAT "probe under the installed launcher" OUTPUT out
    COMMAND ${emulator} ${installed}/${BINDIR}/orvex-vcam -- ${emulator} ${WORK_DIR}/probe)
  if(NOT out STREQUAL "chip id 0x15\n")
    message(SEND_ERROR "probe printed '${out}', expected 'chip id 0x15'")
  endif()
else()
  message(STATUS "pkg-config not found: pkg-config checks skipped")
endif()

# The installed programs find the installed libraries (what they then read
# from the camera is their own business).
set(programs orvex-probe)
list(APPEND programs orvex-readback)
list(APPEND programs orvexctl)
foreach(p ${programs})
  execute_process(COMMAND ${emulator} ${installed}/${BINDIR}/orvex-vcam -- ${emulator} ${installed}/${BINDIR}/${p}
    RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(err MATCHES "error while loading shared libraries" OR rc EQUAL 127)
    message(SEND_ERROR "installed ${p} does not start (${rc}):\n${err}")
  endif()
endforeach()

# --- the installed Python package finds the installed libraries by itself
# (native builds: the target's interpreter is not at hand in cross builds) ---
if(PYTHON AND NOT emulator)
  set(ENV{PYTHONPATH} ${installed}/${PYTHON_SITE_DIR})
  set(ENV{PYTHONDONTWRITEBYTECODE} 1)
  unset(ENV{ORVEX_LIB_DIR})
  set(ENV{ASAN_OPTIONS} "verify_asan_link_order=0:detect_leaks=0")
  run(WHAT "the installed Python package under the launcher" OUTPUT out
    COMMAND ${installed}/${BINDIR}/orvex-vcam -- ${PYTHON} -c [=[
import orvex, orvex._lib as lib
with orvex.Camera(0) as cam:
    print(hex(cam.identify().chip_id))
print(orvex.calibration.read_sensor_type(0))
print(lib._base_dir)
]=])
  if(NOT out STREQUAL "0x15
stereo-nir-640x480
${installed}/${LIBDIR}
")
    message(SEND_ERROR "the installed Python package printed '${out}'")
  endif()
  unset(ENV{PYTHONPATH})
  set(ENV{ASAN_OPTIONS} "verify_asan_link_order=0:detect_leaks=1")
endif()

# --- a CMake project that uses the installed package ---
set(args -S ${SOURCE_DIR}/consumer -B ${WORK_DIR}/consumer
  -DOrvex_DIR=${installed}/${LIBDIR}/cmake/Orvex "-DCMAKE_C_FLAGS=${C_FLAGS}")
if(GENERATOR)
  list(APPEND args -G ${GENERATOR})
endif()
if(TOOLCHAIN_FILE)
  list(APPEND args -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE})
endif()
run(WHAT "configuring a project that finds the package" OUTPUT out COMMAND ${CMAKE_COMMAND} ${args})
run(WHAT "building a project that finds the package" COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
if(NOT EXISTS ${WORK_DIR}/consumer/config_link)
  message(SEND_ERROR "the package did not provide Orvex::Config")
endif()
if(NOT EXISTS ${WORK_DIR}/consumer/factory_refusal)
  message(SEND_ERROR "the package did not provide Orvex::Factory")
endif()
run(WHAT "package probe under the launcher" OUTPUT out
  COMMAND ${emulator} ${installed}/${BINDIR}/orvex-vcam -- ${emulator} ${WORK_DIR}/consumer/probe)
if(NOT out STREQUAL "chip id 0x15\n")
  message(SEND_ERROR "package probe printed '${out}', expected 'chip id 0x15'")
endif()
