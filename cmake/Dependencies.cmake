# Debian packages the build uses; see README.md for the install command.
find_package(Threads REQUIRED)
find_package(Boost 1.74 REQUIRED COMPONENTS filesystem regex thread system)
find_package(ZLIB REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(PUGIXML REQUIRED IMPORTED_TARGET pugixml)
pkg_check_modules(MINIZIP REQUIRED IMPORTED_TARGET minizip)
pkg_check_modules(OMNIORB REQUIRED IMPORTED_TARGET omniORB4 omnithread4 omniDynamic4 omniCOS4)

find_library(RSYNC_LIBRARY NAMES rsync REQUIRED)
find_path(RSYNC_INCLUDE_DIR NAMES librsync.h REQUIRED)
add_library(ZR::rsync UNKNOWN IMPORTED)
set_target_properties(ZR::rsync PROPERTIES
  IMPORTED_LOCATION "${RSYNC_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${RSYNC_INCLUDE_DIR}")

find_library(OMNICODESETS_LIBRARY NAMES omniCodeSets4 REQUIRED)
find_program(OMNIIDL_EXECUTABLE omniidl REQUIRED)
find_program(OMNINAMES_EXECUTABLE omniNames)
