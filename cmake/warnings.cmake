# kelvane_warnings: every target of ours links this. Warnings are errors when KELVANE_WERROR is on
# (every preset sets it); a plain configure keeps them warnings, so packagers' own flags cannot
# break the build.
option(KELVANE_WERROR "Treat compiler warnings as errors" OFF)

add_library(kelvane_warnings INTERFACE)
target_compile_options(kelvane_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual)
if(KELVANE_WERROR)
  target_compile_options(kelvane_warnings INTERFACE -Werror)
endif()

# GCC 12 at -O2 and above reports -Wrestrict inside libstdc++'s own string concatenation
# ("literal" + std::string&&) where nothing overlaps; it stays a warning there, not an error.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(kelvane_warnings INTERFACE -Wno-error=restrict)
endif()
