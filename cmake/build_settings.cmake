# The updater's compiled-in settings: checked at configure time and written to build_config.h.
# Test builds of the updater with other settings use the same two functions.

# The optional last argument of each function is UPDATE_PARALLEL_TRANSFERS: 6 when not given, and
# for an updater variant the build's own setting.
function(tarn_check_build_settings url public_key)
  set(parallel 6)
  if(ARGC GREATER 2)
    set(parallel "${ARGV2}")
  endif()
  if(NOT parallel MATCHES "^[1-8]$")
    message(FATAL_ERROR "UPDATE_PARALLEL_TRANSFERS must be a whole number from 1 to 8 (1: one request at a time), "
                        "got '${parallel}'")
  endif()
  if(NOT url MATCHES "^https?://[^/ ]+/dedivur/update/pim$")
    message(FATAL_ERROR "UPDATE_CATALOGUE_URL must look like http://HOST[:PORT]/dedivur/update/pim or "
                        "https://HOST[:PORT]/dedivur/update/pim, got '${url}'")
  endif()
  string(LENGTH "${url}" url_length)
  if(url_length GREATER 255)
    message(FATAL_ERROR "UPDATE_CATALOGUE_URL is longer than 255 bytes")
  endif()
  # The signature file's URL is the catalogue's with ".sig" appended; it must fit the same field.
  if(NOT public_key STREQUAL "" AND url_length GREATER 251)
    message(FATAL_ERROR "UPDATE_CATALOGUE_URL is longer than 251 bytes, too long for '<URL>.sig'")
  endif()
  if(NOT public_key STREQUAL "" AND NOT public_key MATCHES "^ecdsa-p256:[0-9a-f]+$")
    message(FATAL_ERROR "UPDATE_PUBLIC_KEY must be empty or the line 'update-catalogue keygen' prints last "
                        "(ecdsa-p256: and 128 lower-case hex digits), got '${public_key}'")
  endif()
  string(LENGTH "${public_key}" key_length)
  if(NOT public_key STREQUAL "" AND NOT key_length EQUAL 139)
    message(FATAL_ERROR "UPDATE_PUBLIC_KEY must hold 128 hex digits after 'ecdsa-p256:', got ${key_length} characters")
  endif()
endfunction()

# Writes <dir>/build_config.h for these settings.
function(tarn_write_build_config dir url public_key)
  set(UPDATE_CATALOGUE_URL "${url}")
  set(UPDATE_PUBLIC_KEY "${public_key}")
  set(UPDATE_PARALLEL_TRANSFERS 6)
  if(ARGC GREATER 3)
    set(UPDATE_PARALLEL_TRANSFERS "${ARGV3}")
  endif()
  # UPDATE_BLOCK_MAPS as the caller's scope sets it (the cache's option, or a test build's own).
  if(UPDATE_BLOCK_MAPS)
    set(UPDATE_BLOCK_MAPS_VALUE 1)
  else()
    set(UPDATE_BLOCK_MAPS_VALUE 0)
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/engine/build_config.h.in ${dir}/build_config.h @ONLY)
endfunction()

# An updater executable with other compiled-in settings, for tests: the product's own sources,
# with build_settings.cpp compiled once more against a build_config.h of these settings. The
# executable's own object defines every symbol of that file, so the linker never takes the
# library's copy.
function(tarn_updater_variant name url public_key)
  set(parallel 6)
  if(DEFINED UPDATE_PARALLEL_TRANSFERS)
    set(parallel "${UPDATE_PARALLEL_TRANSFERS}")
  endif()
  if(ARGC GREATER 3)
    set(parallel "${ARGV3}")
  endif()
  tarn_check_build_settings("${url}" "${public_key}" "${parallel}")
  set(settings_dir ${CMAKE_CURRENT_BINARY_DIR}/${name}_settings)
  tarn_write_build_config(${settings_dir} "${url}" "${public_key}" "${parallel}")
  set(app_dir ${PROJECT_SOURCE_DIR}/app)
  add_executable(${name} WIN32 ${app_dir}/tarn_file_updater_app.cpp ${app_dir}/updater_window.cpp ${app_dir}/app.rc
                 ${PROJECT_SOURCE_DIR}/engine/build_settings.cpp)
  target_include_directories(${name} BEFORE PRIVATE ${settings_dir} ${app_dir})
  set_source_files_properties(${app_dir}/app.rc PROPERTIES OBJECT_DEPENDS ${app_dir}/TarnFileUpdater.exe.manifest)
  target_link_options(${name} PRIVATE -mwindows)
  target_link_libraries(${name} PRIVATE tarn_app_win32 tarn_ui tarn_ui_resources tarn_worker tarn_crash tarn_core
    comctl32 version shell32 shlwapi dbghelp wininet advapi32 user32 gdi32)
endfunction()
